#include "platform/linux/x11_properties.h"

#include <algorithm>
#include <unistd.h>

#include "core/support/text.h"

namespace kelvane::X11Props {
namespace {

// ICCCM's STRING is Latin-1: each byte is the code point of the same number.
std::string latin1ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (const char ch : bytes) {
    const auto byte = static_cast<unsigned char>(ch);
    if (byte < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (byte >> 6));
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

std::string_view withoutTrailingNuls(std::string_view bytes) {
  while (!bytes.empty() && bytes.back() == '\0') bytes.remove_suffix(1);
  return bytes;
}

}  // namespace

std::string text(const XProperty& property) {
  if (property.format != 8) return {};
  const std::string_view bytes = withoutTrailingNuls(property.bytes);
  if (property.type == XCB_ATOM_STRING) return latin1ToUtf8(bytes);
  // UTF8_STRING, and COMPOUND_TEXT at best (its ASCII reads right).
  return Text::validUtf8(bytes);
}

std::string wmClass(const XProperty& property) {
  if (property.format != 8) return {};
  const auto parts = Text::split(withoutTrailingNuls(property.bytes), '\0');
  if (parts.size() >= 2 && !parts[1].empty()) return latin1ToUtf8(parts[1]);
  return latin1ToUtf8(parts[0]);
}

std::string thisHost() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

std::optional<int32_t> ownerPid(const XProperty& pid, const XProperty& clientMachine,
                                std::string_view hostname) {
  const auto value = single(pid);
  if (!value || *value == 0 || *value > static_cast<uint32_t>(INT32_MAX)) return std::nullopt;
  if (clientMachine.type != XCB_NONE &&
      withoutTrailingNuls(clientMachine.bytes) != withoutTrailingNuls(hostname))
    return std::nullopt;
  return static_cast<int32_t>(*value);
}

std::optional<uint32_t> single(const XProperty& property) {
  const auto items = property.items32();
  if (items.empty()) return std::nullopt;
  return items.front();
}

std::vector<std::string> desktopNames(const XProperty& property, uint32_t count) {
  std::vector<std::string> names;
  names.reserve(count);
  if (property.format == 8 && !property.bytes.empty()) {
    for (const auto name : Text::split(withoutTrailingNuls(property.bytes), '\0')) {
      if (names.size() == count) break;
      names.push_back(Text::validUtf8(name));
    }
  }
  names.resize(count);
  return names;
}

std::optional<std::string> edidName(std::string_view edid) {
  static constexpr std::string_view kHeader("\x00\xff\xff\xff\xff\xff\xff\x00", 8);
  if (edid.size() < 128 || edid.substr(0, 8) != kHeader) return std::nullopt;
  // Four 18-byte descriptors from byte 54; a display descriptor starts with
  // three zero bytes, and tag 0xFC holds up to 13 bytes of name, ended by '\n'.
  for (size_t at = 54; at + 18 <= 126; at += 18) {
    const std::string_view d = edid.substr(at, 18);
    if (d[0] != 0 || d[1] != 0 || d[2] != 0 || static_cast<unsigned char>(d[3]) != 0xFC) continue;
    std::string_view name = d.substr(5, 13);
    name = name.substr(0, std::min(name.find('\n'), name.size()));
    const std::string clean(Text::trimmed(Text::validUtf8(name)));
    if (!clean.empty()) return clean;
  }
  return std::nullopt;
}

ScreenFrame frame(int32_t x, int32_t y, uint32_t width, uint32_t height, const XProperty& extents) {
  ScreenFrame f{.x = double(x), .y = double(y), .width = double(width), .height = double(height)};
  const auto e = extents.items32();
  if (e.size() == 4) {
    // left, right, top, bottom; a window manager writing nonsense widths
    // (beyond any screen) is not believed.
    if (std::all_of(e.begin(), e.end(), [](uint32_t v) { return v <= 4096; })) {
      f.x -= e[0];
      f.y -= e[2];
      f.width += double(e[0]) + e[1];
      f.height += double(e[2]) + e[3];
    }
  }
  return f;
}

}  // namespace kelvane::X11Props
