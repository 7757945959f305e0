#include "cli/usage_command.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/support/testing/temp_dir.h"
#include "platform/linux/sampler.h"

namespace kelvane::cli {
namespace {

namespace fs = std::filesystem;

UsageAlert cpuAlert(std::string name, double cores) {
  return {.kind = UsageAlert::Kind::cpu(),
          .app = "burner",
          .name = std::move(name),
          .pid = 7,
          .cpu = cores,
          .bytes = 3 << 20,
          .ofRAM = 0.01};
}

TEST(UsageAlertsLog, KeepsAWeekAndShowsTheLocalDay) {
  TempDir dir;
  const Store store(dir.path());
  const Calendar berlin = *Calendar::named("Europe/Berlin");
  const auto at = [&](int day, int hour) {
    return *berlin.dateOf({.year = 2026, .month = 3, .day = day, .hour = hour});
  };
  ASSERT_TRUE(appendAlerts(store, {cpuAlert("Old", 2)}, at(1, 12)));
  ASSERT_TRUE(appendAlerts(store, {cpuAlert("Late yesterday", 2)}, at(9, 23)));
  std::ofstream(store.path(kAlertsFile), std::ios::app) << "{\"kind\": \"boredom\"}\n";
  UsageAlert pressure = cpuAlert("Editor", 0.2);
  pressure.kind = UsageAlert::Kind::pressure(4);
  ASSERT_TRUE(appendAlerts(store, {cpuAlert("Burner", 2.5), pressure}, at(10, 0)));
  const auto today = alertsToday(store, at(10, 18), berlin);
  ASSERT_EQ(today.size(), 2u);
  EXPECT_EQ(today[0], (AlertNote{at(10, 0), cpuAlert("Burner", 2.5)}));
  EXPECT_EQ(today[1].alert.kind, UsageAlert::Kind::pressure(4));
  // The week-old alert went when the last ones were added.
  EXPECT_EQ(store.lines<AlertNote>(kAlertsFile).size(), 3u);
  EXPECT_EQ(alertText(cpuAlert("Burner", 2.5)), "Burner kept using 250% CPU (3 MB memory)");
}

TEST(UsageView, ApplicationsScreenTimeAndAlerts) {
  const Calendar utc = Calendar::utc();
  Snapshot now{.at = Date(86400 * 3 + 3600 * 9)};
  now.windows = {WindowInfo{.id = 0x42, .app = "Editor", .title = "notes.txt"}};
  ScreenTime today{.day = utc.startOfDay(now.at), .windows = {{0x42, 95}, {0x99, 600}}};
  std::ostringstream out;
  printUsage({{.pid = 10, .name = "Editor", .processes = 3, .cpu = 0.256, .memory = 1 << 30}}, 2,
             today, now, {AlertNote{now.at, cpuAlert("Burner", 2)}}, utc, out);
  const std::string text = out.str();
  EXPECT_NE(text.find("Applications (CPU over the last 2s)"), std::string::npos);
  EXPECT_NE(text.find("  Editor        10          3  26%    1 GB"), std::string::npos) << text;
  EXPECT_NE(text.find("10m  window 0x00000099 (closed)"), std::string::npos) << text;
  EXPECT_NE(text.find(" 1m  Editor — notes.txt"), std::string::npos) << text;
  EXPECT_NE(text.find("Total 11m"), std::string::npos);
  EXPECT_NE(text.find("09:00  Burner kept using 200% CPU"), std::string::npos);
  // Yesterday's record is not today's screen time.
  std::ostringstream later;
  printUsage({}, 2, today, Snapshot{.at = now.at + 86400}, {}, utc, later);
  EXPECT_NE(later.str().find("none noted"), std::string::npos);
}

// A program of this test that burns one core, known as the application
// "Burner" through a desktop entry of a folder of the test's own.
class Burner {
 public:
  explicit Burner(const fs::path& home) {
    program_ = home / "bin" / "burner";
    fs::create_directories(program_.parent_path());
    fs::copy_file("/bin/sh", program_);
    fs::permissions(program_, fs::perms::owner_all);
    fs::create_directories(home / "share" / "applications");
    std::ofstream(home / "share" / "applications" / "burner.desktop")
        << "[Desktop Entry]\nType=Application\nName=Burner\nExec=" << program_.string() << "\n";
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setsid();  // No terminal: a terminal's programs are not applications.
      ::execl(program_.c_str(), "burner", "-c", "while :; do :; done", static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~Burner() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }

 private:
  fs::path program_;
  pid_t pid_ = -1;
};

TEST(UsageAlertsLive, ABurningApplicationAlertsAfterItsWindowOnceUntilQuietForToday) {
  TempDir home;
  Burner burner(home.path());
  LinuxSamplerSetup setup;
  setup.home = home.path().string();
  setup.dataDirs = {(home.path() / "share").string()};
  setup.me = ::getuid();
  LinuxSampler sampler(setup);
  Config config = Config::fresh(Date(0));
  // Low enough for a core shared with other work on a loaded machine.
  config.usageAlerts.appCPUCores = 0.1;
  config.usageAlerts.appCPUWindow = 1.5;  // Short limits instead of ten minutes.
  const Calendar calendar = Calendar::current();

  Activity activity;
  UsageWatchState state;
  std::optional<Date> started, alerted;
  int alerts = 0;
  const auto evaluate = [&] {
    const Snapshot snapshot = sampler.sample();
    if (!started) started = snapshot.at;
    activity = activity.updated(snapshot, {}, 30);
    const auto result = UsageWatch::evaluate(snapshot, activity, config, state, calendar);
    state = result.state;
    int raised = 0;
    for (const auto& alert : result.alerts)
      if (alert.pid == burner.pid() && alert.kind == UsageAlert::Kind::cpu()) {
        EXPECT_EQ(alert.name, "Burner");
        EXPECT_GE(alert.cpu, 0.1);
        ++raised;
        if (!alerted) alerted = snapshot.at;
      }
    alerts += raised;
    return std::pair(snapshot.at, raised);
  };
  for (int i = 0; i < 40 && (!alerted || *alerted + 2 > Date::now()); ++i) {
    evaluate();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  ASSERT_TRUE(alerted) << "the burning application never alerted";
  EXPECT_GE(*alerted - *started, 1.5);  // Not before its window was measured.
  EXPECT_EQ(alerts, 1);                 // Once: the next evaluations kept quiet.

  // Quiet for today, an hour later: still silent until the next midnight.
  const std::string key = "burner";
  state = UsageWatch::quietForToday(key, state, Date::now(), calendar);
  EXPECT_EQ(state.quietUntil.at(key), calendar.addingDays(calendar.startOfDay(Date::now()), 1));
  state.lastAlert.clear();
  EXPECT_EQ(evaluate().second, 0);
  state.quietUntil[key] = Date::now() - 1;  // Midnight has passed.
  EXPECT_EQ(evaluate().second, 1);
}

}  // namespace
}  // namespace kelvane::cli
