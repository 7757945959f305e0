#pragma once
// AppCatalog: which installed application a running program is, from the
// freedesktop desktop entries and a small table of well-known browsers and
// terminals. An application's identifier is its desktop-file ID without
// ".desktop" ("org.gnome.gedit"), except for the browsers the configuration names
// by their own identifiers ("com.google.Chrome").
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane {

// One desktop entry of type Application.
struct DesktopEntry {
  std::string id;       // The desktop-file ID without ".desktop".
  std::string name;     // Its Name, not localised.
  std::string program;  // The first word of Exec, as written (a path or a name).
  bool shown = true;    // Neither NoDisplay nor Hidden, and not run in a terminal.
  bool operator==(const DesktopEntry&) const = default;
};

// What a running program is known as.
struct AppIdentity {
  std::string identifier;
  std::string name;
  bool shown = true;  // An application with a user interface of its own.
  bool operator==(const AppIdentity&) const = default;
};

namespace DesktopEntries {

// Reads the "[Desktop Entry]" group of a desktop file; nullopt unless it is an
// Application with a Name and an Exec. Localised keys and other groups are ignored.
[[nodiscard]] std::optional<DesktopEntry> parse(std::string_view text, std::string id);

// Reads every "*.desktop" below each folder's "applications" (sub-folders joined to
// the ID with "-"); an ID found in an earlier folder hides the later ones. Unreadable
// files and folders are skipped.
std::vector<DesktopEntry> load(const std::vector<std::string>& dataDirs);

// The identifier the configuration uses for the application of desktop-file ID `id`.
std::string identifierOf(std::string_view id);

}  // namespace DesktopEntries

// Immutable once built; may be used from any thread.
class AppCatalog final {
 public:
  // Indexes `entries` by program name; `pathDirs` resolve programs named without a
  // folder, so that a link such as /usr/bin/x-www-browser leads to the real program.
  explicit AppCatalog(const std::vector<DesktopEntry>& entries,
                      const std::vector<std::string>& pathDirs = {"/usr/local/bin", "/usr/bin",
                                                                  "/bin"});

  // Returns the application that runs the program at `exe`: a well-known browser or
  // terminal by its path, else the entry whose program is that file or has its name.
  // nullopt for programs no entry names.
  [[nodiscard]] std::optional<AppIdentity> identify(std::string_view exe) const;

 private:
  std::map<std::string, DesktopEntry, std::less<>> byProgram_;  // By file name.
  std::map<std::string, DesktopEntry, std::less<>> byID_;
};

}  // namespace kelvane
