#include "platform/linux/x11_properties.h"

#include <string>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

XProperty bytes(xcb_atom_t type, std::string value) {
  return {.type = type, .format = 8, .bytes = std::move(value)};
}

XProperty cardinals(std::vector<uint32_t> values) {
  XProperty p{.type = XCB_ATOM_CARDINAL, .format = 32};
  p.bytes.assign(reinterpret_cast<const char*>(values.data()), values.size() * 4);
  return p;
}

constexpr xcb_atom_t kUtf8 = 300;  // Whatever the server calls UTF8_STRING.

TEST(X11Props, TitlesBecomeValidUtf8) {
  EXPECT_EQ(X11Props::text(bytes(kUtf8, "Caf\xc3\xa9 \xe2\x98\x83")), "Café ☃");
  // STRING is Latin-1: the byte 0xE9 is é, not a broken sequence.
  EXPECT_EQ(X11Props::text(bytes(XCB_ATOM_STRING, "caf\xe9")), "café");
  EXPECT_EQ(X11Props::text(bytes(kUtf8, "bad \xff end")), "bad \xef\xbf\xbd end");
  EXPECT_EQ(X11Props::text(bytes(kUtf8, std::string("title\0\0", 7))), "title");
  EXPECT_EQ(X11Props::text(cardinals({65, 66})), "");  // Not text at all.
  EXPECT_EQ(X11Props::text(XProperty{}), "");          // Absent.
}

TEST(X11Props, ClassIsTheSecondStringElseTheFirst) {
  EXPECT_EQ(X11Props::wmClass(bytes(XCB_ATOM_STRING, std::string("navigator\0Firefox\0", 18))),
            "Firefox");
  EXPECT_EQ(X11Props::wmClass(bytes(XCB_ATOM_STRING, std::string("xterm\0\0", 7))), "xterm");
  EXPECT_EQ(X11Props::wmClass(bytes(XCB_ATOM_STRING, "lonely")), "lonely");
  EXPECT_EQ(X11Props::wmClass(bytes(XCB_ATOM_STRING, std::string("e\0\xc9"
                                                                 "diteur\0",
                                                                 10))),
            "Éditeur");
  EXPECT_EQ(X11Props::wmClass(XProperty{}), "");
}

TEST(X11Props, ProcessIsTrustedOnlyFromThisMachine) {
  const XProperty here = bytes(XCB_ATOM_STRING, "box");
  struct Case {
    XProperty pid;
    XProperty machine;
    std::optional<int32_t> expected;
  };
  const Case cases[] = {
      {cardinals({4242}), here, 4242},
      {cardinals({4242}), XProperty{}, 4242},  // No machine named: a local client.
      {cardinals({4242}), bytes(XCB_ATOM_STRING, "other-box"), std::nullopt},
      {cardinals({4242}), bytes(XCB_ATOM_STRING, "bo"), std::nullopt},
      {cardinals({0}), here, std::nullopt},
      {cardinals({0x80000000u}), here, std::nullopt},  // Past a 32-bit signed PID.
      {cardinals({}), here, std::nullopt},
      {bytes(XCB_ATOM_STRING, "4242"), here, std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(X11Props::ownerPid(c.pid, c.machine, "box"), c.expected) << c.machine.bytes;
}

TEST(X11Props, DesktopNamesFitTheCount) {
  const XProperty names = bytes(kUtf8, std::string("Mail\0Code\0\xff\0", 12));
  EXPECT_EQ(X11Props::desktopNames(names, 4),
            (std::vector<std::string>{"Mail", "Code", "\xef\xbf\xbd", ""}));
  EXPECT_EQ(X11Props::desktopNames(names, 1), std::vector<std::string>{"Mail"});
  EXPECT_EQ(X11Props::desktopNames(XProperty{}, 2), (std::vector<std::string>{"", ""}));
}

std::string edidWith(std::string_view name, size_t slot) {
  std::string edid(128, '\0');
  edid.replace(0, 8, std::string("\x00\xff\xff\xff\xff\xff\xff\x00", 8));
  const size_t at = 54 + 18 * slot;
  edid[at + 3] = '\xfc';
  std::string text(name);
  text += '\n';
  text.resize(13, ' ');
  edid.replace(at + 5, 13, text);
  return edid;
}

TEST(X11Props, EdidNameComesFromItsNameDescriptor) {
  EXPECT_EQ(X11Props::edidName(edidWith("DELL U2720Q", 1)), "DELL U2720Q");
  EXPECT_EQ(X11Props::edidName(edidWith("LG HDR 4K", 3)), "LG HDR 4K");
  std::string wrongHeader = edidWith("DELL U2720Q", 1);
  wrongHeader[1] = 0;
  EXPECT_EQ(X11Props::edidName(wrongHeader), std::nullopt);
  EXPECT_EQ(X11Props::edidName(edidWith("DELL U2720Q", 1).substr(0, 100)), std::nullopt);
  EXPECT_EQ(X11Props::edidName(edidWith("", 0)), std::nullopt);  // Blank name.
}

TEST(X11Props, FrameGrowsByTheManagersDecoration) {
  // left 2, right 3, top 20, bottom 4
  EXPECT_EQ(X11Props::frame(100, 50, 300, 200, cardinals({2, 3, 20, 4})),
            (ScreenFrame{98, 30, 305, 224}));
  EXPECT_EQ(X11Props::frame(-10, 5, 30, 20, XProperty{}), (ScreenFrame{-10, 5, 30, 20}));
  EXPECT_EQ(X11Props::frame(0, 0, 30, 20, cardinals({1, 1, 1})), (ScreenFrame{0, 0, 30, 20}));
  EXPECT_EQ(X11Props::frame(0, 0, 30, 20, cardinals({1, 1, 0xFFFFFFF0u, 1})),
            (ScreenFrame{0, 0, 30, 20}));
}

}  // namespace
}  // namespace kelvane
