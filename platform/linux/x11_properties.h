#pragma once
// X11Props: reads the window and root properties that clients and window
// managers write (titles, classes, process IDs, desktop names, monitor EDID)
// into plain values. Anything a client may write is untrusted: every reader
// copes with wrong types, short values and bytes that are not text.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/screen_frame.h"
#include "platform/linux/x11_connection.h"

namespace kelvane::X11Props {

// Returns the text of a title (_NET_WM_NAME or WM_NAME) as UTF-8: UTF8_STRING is
// cleaned of invalid bytes, STRING is read as Latin-1, anything else as UTF-8 at
// best. A trailing NUL is dropped; an absent or non-8-bit property gives "".
std::string text(const XProperty& property);

// Returns the class of WM_CLASS ("instance\0class\0"), or the instance when the
// class is empty or missing, as UTF-8 from Latin-1. "" when there is neither.
std::string wmClass(const XProperty& property);

// Returns this machine's host name, as clients write it into WM_CLIENT_MACHINE.
std::string thisHost();

// Returns the process of _NET_WM_PID when it is a positive 32-bit number and the
// client runs on this machine: WM_CLIENT_MACHINE absent or equal to `hostname`.
// A client of another machine names a process there, never one here.
std::optional<int32_t> ownerPid(const XProperty& pid, const XProperty& clientMachine,
                                std::string_view hostname);

// Returns the one CARDINAL or WINDOW a 32-bit property holds, nullopt when it
// holds none.
std::optional<uint32_t> single(const XProperty& property);

// Returns `count` names from _NET_DESKTOP_NAMES (NUL-separated UTF-8): missing
// ones are "", extra ones dropped, invalid bytes replaced.
std::vector<std::string> desktopNames(const XProperty& property, uint32_t count);

// Returns the monitor name an EDID block carries (its 0xFC descriptor), trimmed;
// nullopt for a short block, a wrong header or no name.
std::optional<std::string> edidName(std::string_view edid);

// Returns the window's frame in root coordinates: the client area at (x, y) of
// `width` x `height`, grown by the window manager's _NET_FRAME_EXTENTS (left,
// right, top, bottom) when the property holds four cardinals.
ScreenFrame frame(int32_t x, int32_t y, uint32_t width, uint32_t height, const XProperty& extents);

}  // namespace kelvane::X11Props
