#pragma once
// DiskPaths: the path checks every disk rule applies before it proposes a path
// for removal: existence, "~" expansion, the user's kept folders, and the guard
// that keeps removals inside the folder a rule scanned. All functions are total:
// they never throw, and any failure to read the file system answers false.
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::DiskPaths {

// Tells whether the item's attributes can be read; a final symbolic link is not
// followed, so a dangling link exists. False for an empty path or one holding NUL.
bool exists(std::string_view path);

// Trims blanks and line breaks; "~" alone gives `home`, "~/rest" gives `home` + "/rest";
// anything else comes back trimmed.
std::string expand(std::string_view path, std::string_view home);

// Trims, drops empty and "." pieces, lets ".." remove the piece before it (nothing at
// the top), and lower-cases. Always starts with "/" and never ends with one, except "/".
std::string normalized(std::string_view path);

// Turns the user's kept entries into normalized paths, expanding "~" with `home`;
// blank entries are skipped, the order is kept.
std::vector<std::string> keptEntries(const std::vector<std::string>& entries,
                                     std::string_view home);

// Tells whether removing `path` would touch a kept entry: it is one, lies inside one,
// or contains one. Case-insensitive; `kept` comes from keptEntries.
bool kept(std::string_view path, const std::vector<std::string>& kept);

// Tells whether `path` may be removed as part of `root`: both absolute, clean (no ".",
// "..", doubled or trailing "/") and not "/", and the real path of `path`'s parent lies
// at or below the real path of `root`. Only the parent is resolved, so a link item is
// judged by where it lives. Any unresolvable path gives false.
bool inside(std::string_view path, std::string_view root);

}  // namespace kelvane::DiskPaths
