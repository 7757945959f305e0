#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "core/disk/disk_scanner.h"
#include "core/disk/testing/fake_home.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using namespace DiskScanner;
using Commands = std::vector<std::vector<std::string>>;
constexpr double kDay = FakeHome::kDay;

void write(const FakeHome& home, const std::string& rel, const std::string& text) {
  std::ofstream(home.file(rel, 0, 0)) << text;
}

// An environment with rustup found in /opt/bin and every tool run recorded; nothing runs.
DiskEnvironment withRustup(const FakeHome& home, std::vector<std::string>& ran) {
  auto env = home.env();
  env.tool = [](const std::string& name) -> std::optional<std::string> {
    return name == "rustup" ? std::optional<std::string>("/opt/bin/rustup") : std::nullopt;
  };
  env.run = [&ran](const std::vector<std::string>& args) -> std::optional<ShellResult> {
    ran.push_back(args.at(0));
    return std::nullopt;
  };
  return env;
}

Commands uninstalls(const std::vector<std::string>& names) {
  Commands commands;
  for (const auto& name : names)
    commands.push_back({"/opt/bin/rustup", "toolchain", "uninstall", name});
  return commands;
}

TEST(DiskScannerLibraries, NvmKeepsTheAliasLineAndTheNewest) {
  const std::vector<std::string> v = {"v16.20.2", "v18.2.0", "v18.19.0", "v20.9.0", "v20.11.1"};
  using Keep = std::optional<std::set<std::string>>;
  EXPECT_EQ(nvmKeep(v, "18\n"), (Keep{{"v18.19.0", "v20.11.1"}}));
  EXPECT_EQ(nvmKeep(v, "v16.20"), (Keep{{"v16.20.2", "v20.11.1"}}));
  EXPECT_EQ(nvmKeep(v, "20.1"), std::nullopt);  // a prefix must end at a "."
  EXPECT_EQ(nvmKeep(v, "node"), (Keep{{"v20.11.1"}}));
  EXPECT_EQ(nvmKeep(v, "lts/iron"), std::nullopt);
  EXPECT_EQ(nvmKeep(v, " \n"), std::nullopt);
  EXPECT_EQ(nvmKeep({}, "18"), (Keep{std::set<std::string>{}}));
  // A project's pin may name a version that is not installed, or nvm's "system".
  EXPECT_EQ(nodeTarget(v, "14\n"), (NodeTarget{.known = true}));
  EXPECT_EQ(nodeTarget(v, "system"), (NodeTarget{.known = true}));
  EXPECT_EQ(nodeTarget(v, "v18\n# comment"), (NodeTarget{true, "v18.19.0"}));
  EXPECT_EQ(nodeTarget(v, "lts/*"), NodeTarget{});
}

TEST(DiskScannerLibraries, RustupFilesAreReadAsRustupReadsThem) {
  const std::pair<std::string_view, std::optional<std::string>> pins[] = {
      {"nightly-2024-01-01\n", "nightly-2024-01-01"},  // the older one-name form
      {"[toolchain]\nchannel = \"1.70.0\"\ncomponents = [\"rustfmt\"]\n", "1.70.0"},
      {"# pinned\n[toolchain]\nchannel = 'stable' # for now\n", "stable"},
      {"[toolchain]\npath = \"/opt/my-rust\"\n", std::nullopt},  // a custom toolchain
      {"channel = \"beta\"\n", std::nullopt},                    // not in its table
      {"two words\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [text, name] : pins) EXPECT_EQ(toolchainPin(text), name) << text;

  EXPECT_EQ(rustupKept("version = \"12\"\ndefault_toolchain = \"stable-x86_64-unknown-linux-gnu\"\n"
                       "profile = \"default\"\n\n[overrides]\n\"/h/p\" = \"nightly\"\n"
                       "'/h/q' = \"1.70\"\n"),
            (std::vector<std::string>{"stable-x86_64-unknown-linux-gnu", "nightly", "1.70"}));
  EXPECT_TRUE(rustupKept("version = \"12\"\n\n[overrides]\n").empty());

  const std::string host = "-x86_64-unknown-linux-gnu";
  EXPECT_TRUE(namesToolchain("nightly", "nightly" + host));
  EXPECT_FALSE(namesToolchain("nightly", "nightly-2024-01-01" + host));  // a dated one
  EXPECT_TRUE(namesToolchain("nightly-2024-01-01", "nightly-2024-01-01" + host));
  EXPECT_TRUE(namesToolchain("1.70", "1.70" + host));
  EXPECT_FALSE(namesToolchain("1.7", "1.70" + host));
  EXPECT_FALSE(namesToolchain("1.70", "1.70.0" + host));
  EXPECT_TRUE(namesToolchain("stable" + host, "stable" + host));
  EXPECT_FALSE(namesToolchain("", "stable" + host));
}

TEST(DiskScannerLibraries, ToolchainsStayWhenRustupOrAProjectNeedsThemOrNewestStable) {
  FakeHome home;
  const std::string host = "-x86_64-unknown-linux-gnu";
  for (const char* name : {"stable", "beta", "nightly", "nightly-2024-01-01", "1.70.0", "1.75.0"})
    home.file(".rustup/toolchains/" + std::string(name) + host + "/lib/librustc.so", 0, 8192);
  write(home, ".rustup/settings.toml",
        "version = \"12\"\ndefault_toolchain = \"beta" + host +
            "\"\n\n[overrides]\n\"/elsewhere\" = \"nightly-2024-01-01" + host + "\"\n");
  write(home, "Projects/pinned/Cargo.toml", "");
  write(home, "Projects/pinned/rust-toolchain.toml", "[toolchain]\nchannel = \"1.70.0\"\n");
  std::vector<std::string> ran;
  auto env = withRustup(home, ran);
  Tally tally;
  auto scan = libraries(env, tally);
  EXPECT_EQ(scan.commands, uninstalls({"1.75.0" + host, "nightly" + host}));
  EXPECT_EQ(scan.bytes, size(home.at(".rustup/toolchains/1.75.0" + host)) +
                            size(home.at(".rustup/toolchains/nightly" + host)));
  EXPECT_TRUE(ran.empty());  // rustup writes its settings when run: it is never asked

  // No default and no stable channel: the highest release stays, so rustup keeps one.
  fs::remove(home.at(".rustup/settings.toml"));
  fs::remove_all(home.at(".rustup/toolchains/stable" + host));
  scan = libraries(env, tally);
  EXPECT_EQ(scan.commands,
            uninstalls({"beta" + host, "nightly-2024-01-01" + host, "nightly" + host}));
}

TEST(DiskScannerLibraries, NodeVersionsPinnedByProjectsStay) {
  FakeHome home;
  for (const char* v : {"v16.20.2", "v17.9.1", "v18.19.0", "v20.11.1", "v21.0.0"})
    home.file(std::string(".nvm/versions/node/") + v + "/bin/node");
  write(home, ".nvm/alias/default", "20\n");
  write(home, "Projects/a/package.json", "{}");
  write(home, "Projects/a/.nvmrc", "16\n");
  write(home, "Projects/group/b/package.json", "{}");
  write(home, "Projects/group/.node-version", "v18\n");  // a parent's pin holds below it
  write(home, "Projects/old/package.json", "{}");
  write(home, "Projects/old/.nvmrc", "12");  // not installed: keeps nothing
  write(home, "Elsewhere/.nvmrc", "17");     // not under a project root
  Tally tally;
  auto scan = libraries(home.env(), tally);
  EXPECT_EQ(itemPaths(scan), std::vector<std::string>{home.at(".nvm/versions/node/v17.9.1")});
  EXPECT_EQ(scan.note, std::nullopt);

  // A pin that names no version keeps them all, and says so.
  write(home, "Projects/c/package.json", "{}");
  write(home, "Projects/c/.nvmrc", "lts/iron\n");
  scan = libraries(home.env(), tally);
  EXPECT_TRUE(scan.items.empty());
  EXPECT_EQ(scan.note, "Node versions all kept: cannot tell which one ~/Projects/c/.nvmrc names");
}

TEST(DiskScannerLibraries, OldNodeVersionsAndDeviceSupport) {
  FakeHome home;
  for (const char* v : {"v18.2.0", "v18.19.0", "v20.11.1", "v9.0.0"})
    home.file(std::string(".nvm/versions/node/") + v + "/bin/node");
  write(home, ".nvm/alias/default", "18\n");
  const std::string support = "Library/Developer/Xcode/iOS DeviceSupport/iOS ";
  const double ages[] = {5 * kDay, 1 * kDay, 9 * kDay, 3 * kDay};
  for (int i = 0; i < 4; ++i) home.folder(support + std::to_string(i), ages[i]);
  Tally tally;
  const auto scan = libraries(home.env(), tally);
  EXPECT_EQ(itemPaths(scan),
            (std::vector<std::string>{home.at(".nvm/versions/node/v9.0.0"),
                                      home.at(".nvm/versions/node/v18.2.0"), home.at(support + "0"),
                                      home.at(support + "2")}));
}

}  // namespace
}  // namespace kelvane
