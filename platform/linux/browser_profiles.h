#pragma once
// BrowserProfiles: which profile each of a browser's tabs belongs to. The
// endpoint tells tabs apart only by an opaque browser-context ID; the profile
// folders and their display names come from the browser's Local State file,
// and, with several profiles open, from the profile name the browser puts at
// the end of its window titles.
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/browser_tab.h"

namespace kelvane {

// The profiles a Local State file records.
struct LocalStateProfiles {
  std::map<std::string, std::string> names;  // Profile folder to display name.
  std::vector<std::string> open;             // Folders of the profiles open last, in order.
  bool operator==(const LocalStateProfiles&) const = default;
};

namespace BrowserProfiles {

// The file in the user-data folder.
inline constexpr std::string_view kLocalStateFile = "Local State";

// Reads the "profile" part of a Local State file. The display name is the
// account's given name (else its full name) while the profile keeps its
// default name, else the name the user chose; entries that are not objects are
// skipped. nullopt when the text is not a JSON object.
std::optional<LocalStateProfiles> parseLocalState(std::string_view text);

// Returns the profile name at the end of a browser window's title, which is the
// active tab's title, " - ", the browser's name and, with several profiles,
// " - " and the profile's name. nullopt without a profile part or when the
// title does not start with the tab's.
std::optional<std::string> nameInTitle(std::string_view windowTitle, std::string_view tabTitle);

// Tells the profile of each browser context, in order: first by the profile
// names seen in window titles (`titleNames`, context to name); then a single
// context left over takes the single profile left open (the --profile-directory
// switch `profileSwitch`, or the only profile there is, when none is recorded
// as open). Contexts that cannot be told are left out.
std::map<std::string, BrowserProfile> assign(const std::vector<std::string>& contexts,
                                             const LocalStateProfiles& profiles,
                                             const std::optional<std::string>& profileSwitch,
                                             const std::map<std::string, std::string>& titleNames);

}  // namespace BrowserProfiles
}  // namespace kelvane
