#pragma once
// KeepKind: what a "keep" entry of the allowlist protects. It has no text form;
// the allowlist stores each kind in its own list.
namespace kelvane {

// Tells which allowlist a keep entry goes to.
enum class KeepKind {
  app,      // A running application, by bundle identifier or name.
  process,  // A process, by name or executable path.
  site,     // A site, by host; its subdomains are kept too.
  path,     // A file or folder the disk cleanup leaves alone.
};

}  // namespace kelvane
