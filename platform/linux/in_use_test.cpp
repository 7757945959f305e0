#include "platform/linux/in_use.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "core/support/testing/temp_dir.h"
#include "platform/linux/testing/sleeper.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;

ProcEntry process(int32_t pid, std::string comm, std::vector<std::string> fds,
                  std::optional<std::string> cwd = std::nullopt) {
  return ProcEntry{.stat = {.pid = pid, .comm = std::move(comm)}, .cwd = cwd, .fds = fds};
}

TEST(InUse, ItemsAndWhatIsInsideThemWithTheLowestHolder) {
  const InUse look = InUse::from(
      {process(42, "node", {"/dev/null", "/h/cache/app/db.sqlite", "socket:[7]", "pipe:[8]"}),
       process(9, "vim", {"/h/cache/app/db.sqlite"}), process(7, "zsh", {}, "/h/Projects/site"),
       process(1, "init", {}, "/"), process(5, "me", {"/h/Downloads/mine.iso"})},
      {{7, true, "/h/cache/pg/.s.PGSQL.5432"},
       {8, false, "/h/cache/orphan.sock"},
       {9, true, "@abstract"},
       {10, true, "relative.sock"}},
      5);
  const std::pair<const char*, std::optional<std::string>> asked[] = {
      {"/h/cache/app/db.sqlite", "open in vim (pid 9)"},  // two holders: the lower PID
      {"/h/cache/app", "open in vim (pid 9)"},            // a folder holding it
      {"/h/cache/app/", "open in vim (pid 9)"},
      {"/h/cache/ap", std::nullopt},  // a name that only starts alike
      {"/h/cache/app-old", std::nullopt},
      {"/h/Projects/site/src", std::nullopt},  // inside a working folder: only the folder holds
      {"/h/Projects", "working folder of zsh (pid 7)"},
      {"/h/cache/pg", "socket of node (pid 42)"},
      {"/h/cache/orphan.sock", "socket in use"},  // its holder is not ours to see
      {"/h/Downloads/mine.iso", std::nullopt},    // held by the program that asks
      {"/h/cache/mine.sock", std::nullopt},
      {"/etc", std::nullopt},  // "/" as a working folder holds nothing
      {"relative.sock", std::nullopt},
      {"h/cache/app", std::nullopt},
  };
  for (const auto& [path, reason] : asked) EXPECT_EQ(look.reason(path), reason) << path;
}

TEST(InUse, AnItemIsAlsoSoughtUnderItsFoldersRealPath) {
  TempDir dir;
  fs::create_directories(dir.path() / "real/cache");
  fs::create_directory_symlink(dir.path() / "real", dir.path() / "link");
  const std::string real = fs::canonical(dir.path()).string() + "/real/cache/x";
  const InUse look = InUse::from({process(3, "git", {real + "/index"})}, {});
  EXPECT_EQ(look.reason((dir.path() / "link/cache/x").string()), "open in git (pid 3)");
  EXPECT_EQ(look.reason((dir.path() / "link/cache/y").string()), std::nullopt);
}

// Live processes this test starts: one holds a file open, one works in a folder,
// one listens on a socket; each keeps its item with the reason.
TEST(InUse, LiveHoldersKeepTheirItems) {
  TempDir dir;
  const fs::path base = fs::canonical(dir.path());
  for (const char* folder : {"open", "work/deep", "sock", "free"})
    fs::create_directories(base / folder);
  std::ofstream(base / "open/data.bin") << "x";
  const std::string file = (base / "open/data.bin").string();
  const std::string work = (base / "work/deep").string();
  const std::string sock = (base / "sock/server.sock").string();
  Sleeper opener = Sleeper::holdingOpen(file);
  Sleeper worker = Sleeper::workingIn(work);
  Sleeper listener = Sleeper::listeningAt(sock);
  ASSERT_TRUE(opener.ready() && worker.ready() && listener.ready());

  const InUse look = InUse::read();
  const auto by = [](const Sleeper& s, const char* what) {
    return std::string(what) + " sleep (pid " + std::to_string(s.pid()) + ")";
  };
  EXPECT_EQ(look.reason(base.string() + "/open"), by(opener, "open in"));
  EXPECT_EQ(look.reason(work), by(worker, "working folder of"));
  EXPECT_EQ(look.reason(base.string() + "/work"), by(worker, "working folder of"));
  EXPECT_EQ(look.reason(sock), by(listener, "socket of"));
  EXPECT_EQ(look.reason(base.string() + "/free"), std::nullopt);
}

}  // namespace
}  // namespace kelvane
