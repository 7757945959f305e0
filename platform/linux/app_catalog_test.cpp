#include "platform/linux/app_catalog.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "core/support/testing/temp_dir.h"
#include "platform/linux/browser_identity.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;

TEST(DesktopEntries, ParseReadsTheEntryGroupOnly) {
  const auto gedit = DesktopEntries::parse(
      "# comment\n[Desktop Entry]\nName[de]=Texteditor\nName=Text Editor\r\nType=Application\n"
      "Exec=env GTK_THEME=dark \"/opt/my apps/gedit\" %U\n[Desktop Action new]\nName=New\n"
      "Exec=other\n",
      "org.gnome.gedit");
  EXPECT_EQ(gedit, (DesktopEntry{"org.gnome.gedit", "Text Editor", "/opt/my apps/gedit", true}));

  const std::pair<const char*, std::optional<DesktopEntry>> cases[] = {
      {"[Desktop Entry]\nType=Application\nName=Top\nExec=htop\nTerminal=true\n",
       DesktopEntry{"x", "Top", "htop", false}},
      {"[Desktop Entry]\nType=Application\nName=Tray\nExec=tray\nNoDisplay=true\n",
       DesktopEntry{"x", "Tray", "tray", false}},
      {"[Desktop Entry]\nType=Application\nName=Run\nExec=sh -c \"exec tool\"\n",
       DesktopEntry{"x", "Run", "", true}},  // a shell names no program of its own
      {"[Desktop Entry]\nType=Application\nName=Pak\nExec=/usr/bin/flatpak run org.x.Y\n",
       DesktopEntry{"x", "Pak", "", true}},
      {"[Desktop Entry]\nType=Link\nName=Site\nURL=https://x.test/\n", std::nullopt},
      {"[Desktop Entry]\nType=Application\nExec=noname\n", std::nullopt},
      {"[Other]\nType=Application\nName=A\nExec=a\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [text, entry] : cases)
    EXPECT_EQ(DesktopEntries::parse(text, "x"), entry) << text;
}

TEST(DesktopEntries, LoadJoinsSubfoldersAndEarlierFoldersWin) {
  TempDir dir;
  const auto write = [&](const std::string& relative, const std::string& name) {
    fs::create_directories((dir.path() / relative).parent_path());
    std::ofstream(dir.path() / relative)
        << "[Desktop Entry]\nType=Application\nName=" << name << "\nExec=" << name << "\n";
  };
  write("user/applications/editor.desktop", "Mine");
  write("system/applications/editor.desktop", "System");
  write("system/applications/kde4/viewer.desktop", "Viewer");
  write("system/applications/notes.txt", "Ignored");
  auto entries =
      DesktopEntries::load({(dir.path() / "user").string(), (dir.path() / "missing").string(),
                            (dir.path() / "system").string()});
  std::sort(entries.begin(), entries.end(),
            [](const DesktopEntry& a, const DesktopEntry& b) { return a.id < b.id; });
  EXPECT_EQ(entries, (std::vector<DesktopEntry>{{"editor", "Mine", "Mine", true},
                                                {"kde4-viewer", "Viewer", "Viewer", true}}));
}

TEST(AppCatalog, KnownBrowsersAndTerminalsThenEntriesByProgramName) {
  const AppCatalog catalog({{"chromium", "Chromium Web Browser", "/usr/bin/chromium", true},
                            {"org.gnome.gedit", "Text Editor", "gedit", true},
                            {"vim", "Vim", "vim", false}},
                           {});
  const std::pair<const char*, std::optional<AppIdentity>> cases[] = {
      {"/opt/google/chrome/chrome", AppIdentity{"com.google.Chrome", "Google Chrome", true}},
      {"/opt/google/chrome-unstable/chrome",
       AppIdentity{"com.google.Chrome.canary", "Google Chrome (unstable)", true}},
      // Chromium's launcher script runs /usr/lib/chromium/chromium; it stands in for Chrome.
      {"/usr/lib/chromium/chromium",
       AppIdentity{"com.google.Chrome", "Chromium Web Browser", true}},
      // Every channel the browser layer reads tabs from is known as a browser here too.
      {"/opt/google/chrome-beta/chrome",
       AppIdentity{"com.google.Chrome", "Google Chrome (beta)", true}},
      {"/usr/libexec/gnome-terminal-server", AppIdentity{"org.gnome.Terminal", "Terminal", true}},
      {"/usr/bin/gedit", AppIdentity{"org.gnome.gedit", "Text Editor", true}},
      {"/usr/bin/vim", AppIdentity{"vim", "Vim", false}},
      {"/usr/bin/gedit-helper", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [exe, identity] : cases) EXPECT_EQ(catalog.identify(exe), identity) << exe;
  EXPECT_TRUE(isChromiumIdentifier(DesktopEntries::identifierOf("google-chrome")));
  EXPECT_FALSE(isChromiumIdentifier(DesktopEntries::identifierOf("firefox-esr")));
}

}  // namespace
}  // namespace kelvane
