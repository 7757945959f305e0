#include "cli/agent_notify.h"

#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/support/file_io.h"
#include "core/support/testing/temp_dir.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;

// A notify-send of the test's own that writes its arguments, one per line, and
// the bus it was given into "shown", then sleeps for `sleep` seconds.
std::string fakeClient(const TempDir& dir, const std::string& sleep = "0") {
  const auto bin = dir.path() / "bin";
  std::filesystem::create_directories(bin);
  const auto script = bin / "notify-send";
  std::ofstream(script) << "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > '"
                        << (dir.path() / "shown").string()
                        << "'\necho \"$DBUS_SESSION_BUS_ADDRESS\" >> '"
                        << (dir.path() / "shown").string() << "'\nexec sleep " << sleep << "\n";
  std::filesystem::permissions(script, std::filesystem::perms::owner_all);
  return bin.string();
}

std::string waitForFile(const std::filesystem::path& file) {
  for (int i = 0; i < 500; ++i) {
    if (const auto text = readWholeFile(file);
        text && text->ends_with("\n") && std::count(text->begin(), text->end(), '\n') >= 5)
      return *text;
    std::this_thread::sleep_for(10ms);
  }
  return "";
}

TEST(Notifier, ShowsThroughTheClientWithTheSessionBus) {
  TempDir dir;
  const std::string bin = fakeClient(dir);
  auto notifier = Notifier::find("relative/bin:" + bin, "unix:path=/run/user/1/bus", "");
  ASSERT_TRUE(notifier.available());
  EXPECT_EQ(notifier.program(), bin + "/notify-send");
  ASSERT_TRUE(notifier.show("Kelvane: <Memory>", "Big & busy\nuses 30% of memory"));
  EXPECT_EQ(waitForFile(dir.path() / "shown"),
            "--app-name=Kelvane\n--\nKelvane: &lt;Memory&gt;\nBig &amp; busy uses 30% of memory\n"
            "unix:path=/run/user/1/bus\n");
}

TEST(Notifier, FindsTheBusInTheRuntimeFolderAndNeedsOne) {
  TempDir dir;
  const std::string bin = fakeClient(dir);
  EXPECT_FALSE(Notifier::find(bin, "", dir.path().string()).available());
  // A bus socket in the runtime folder, as the user's session manager makes it.
  sockaddr_un address{.sun_family = AF_UNIX};
  const std::string bus = (dir.path() / "bus").string();
  bus.copy(address.sun_path, sizeof address.sun_path - 1);
  FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM, 0));
  ASSERT_EQ(::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  auto notifier = Notifier::find(bin, "", dir.path().string());
  ASSERT_TRUE(notifier.available());
  ASSERT_TRUE(notifier.show("a", "b"));
  EXPECT_TRUE(waitForFile(dir.path() / "shown").ends_with("unix:path=" + bus + "\n"));
  EXPECT_FALSE(Notifier::find("/nonexistent", "unix:path=/x", "").available());
}

TEST(Notifier, EndsAClientThatHangs) {
  TempDir dir;
  auto notifier = Notifier::find(fakeClient(dir, "60"), "unix:path=/x", "");
  ASSERT_TRUE(notifier.show("a", "b"));
  ASSERT_FALSE(waitForFile(dir.path() / "shown").empty());
  notifier.reap(0s);  // past its patience: killed
  for (int i = 0; i < 100 && !notifier.idle(); ++i) {
    std::this_thread::sleep_for(10ms);
    notifier.reap(0s);
  }
  EXPECT_TRUE(notifier.idle());
}

}  // namespace
}  // namespace kelvane
