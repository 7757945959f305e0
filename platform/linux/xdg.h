#pragma once
// Xdg: where the freedesktop base-directory rules put a user's data: the data
// folders (applications' desktop entries live below them) and the home Trash.
#include <string>
#include <vector>

namespace kelvane::Xdg {

// $XDG_DATA_HOME when it is an absolute path, else `home` + "/.local/share".
std::string dataHome(const std::string& home);

// The data folders in the order they are searched: dataHome first, then each
// absolute entry of $XDG_DATA_DIRS (by default /usr/local/share and /usr/share).
std::vector<std::string> dataDirs(const std::string& home);

// The home Trash: dataHome + "/Trash".
std::string homeTrash(const std::string& home);

// The user's home: $HOME when it is an absolute path, else the password database's,
// else "/".
std::string home();

}  // namespace kelvane::Xdg
