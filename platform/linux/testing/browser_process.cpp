#include "platform/linux/testing/browser_process.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "core/support/file_io.h"
#include "platform/linux/browser_identity.h"
#include "platform/linux/browser_procs.h"
#include "platform/linux/browser_profiles.h"
#include "platform/linux/devtools_endpoint.h"

namespace kelvane::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr auto kStartTimeout = std::chrono::seconds(60);
constexpr auto kQuitGrace = std::chrono::seconds(10);
constexpr auto kPoll = std::chrono::milliseconds(50);

// Waits for the child to exit, up to `limit`; true when it was reaped.
bool reap(pid_t pid, std::chrono::milliseconds limit) {
  const auto end = Clock::now() + limit;
  do {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return true;
    std::this_thread::sleep_for(kPoll);
  } while (Clock::now() < end);
  return false;
}

// Hands the temporary folder and everything in it to `user`.
bool handOver(const fs::path& root, const TestBrowser::Options::User& user) {
  if (::chown(root.c_str(), user.uid, user.gid) != 0) return false;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec))
    if (::lchown(it->path().c_str(), user.uid, user.gid) != 0) return false;
  return !ec;
}

[[noreturn]] void runBrowser(const fs::path& root, const fs::path& dataDir,
                             const TestBrowser::Options& options) {
  const auto& user = options.user;
  ::setpgid(0, 0);  // A group of its own, so that the test can end all of it.
  if (user &&
      (::setgroups(0, nullptr) != 0 || ::setgid(user->gid) != 0 || ::setuid(user->uid) != 0))
    ::_exit(126);
  // A test that crashes takes its browser along instead of leaving it running
  // (set after the change of user, which clears it).
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() == 1) ::_exit(127);  // The test died before the line above.
  const int log = ::open((root / "browser.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (log >= 0) {
    ::dup2(log, 1);
    ::dup2(log, 2);
  }
  const std::string home = "HOME=" + (root / "home").string();
  const std::string config = "XDG_CONFIG_HOME=" + (root / "home/.config").string();
  const std::string cache = "XDG_CACHE_HOME=" + (root / "home/.cache").string();
  const std::string dataSwitch = "--user-data-dir=" + dataDir.string();
  const char* argv[] = {TestBrowser::kExecutable,
                        options.userBrowser ? "--ozone-platform=headless" : "--headless",
                        "--no-sandbox",  // The tests run as root.
                        "--disable-gpu",
                        "--no-first-run",
                        "--no-default-browser-check",
                        "--disable-background-networking",
                        "--disable-component-update",
                        "--disable-sync",
                        "--password-store=basic",
                        dataSwitch.c_str(),
                        "--remote-debugging-address=127.0.0.1",
                        "--remote-debugging-port=0",
                        "about:blank",
                        nullptr};
  const char* envp[] = {"PATH=/usr/bin:/bin", home.c_str(), config.c_str(), cache.c_str(), nullptr};
  ::execve(argv[0], const_cast<char* const*>(argv), const_cast<char* const*>(envp));
  ::_exit(127);
}

}  // namespace

TestBrowser::TestBrowser(Options options)
    : dataDir_(dir_.path() / "profile"), uid_(options.user ? options.user->uid : ::getuid()) {
  std::error_code ec;
  fs::create_directories(dataDir_, ec);
  fs::create_directories(dir_.path() / "home", ec);
  if (!options.localState.empty())
    std::ofstream(dataDir_ / BrowserProfiles::kLocalStateFile) << options.localState;
  if (options.user && !handOver(dir_.path(), *options.user)) {
    error_ = "cannot hand the browser's folder to user " + std::to_string(options.user->uid);
    return;
  }
  pid_ = ::fork();
  if (pid_ == 0) runBrowser(dir_.path(), dataDir_, options);
  if (pid_ < 0) {
    error_ = "cannot fork";
    return;
  }
  const auto end = Clock::now() + kStartTimeout;
  while (Clock::now() < end) {
    if (const auto text = readWholeFile(dataDir_ / DevToolsEndpoints::kActivePortFile))
      if (const auto endpoint = DevToolsEndpoints::parseActivePort(*text);
          endpoint && endpoint->browserPath) {
        port_ = endpoint->port;
        return;
      }
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      error_ = "the browser exited: " + readWholeFile(dir_.path() / "browser.log").value_or("");
      return;
    }
    std::this_thread::sleep_for(kPoll);
  }
  error_ = "the browser's endpoint did not come up";
}

TestBrowser::~TestBrowser() {
  if (pid_ <= 1) return;
  ::kill(-pid_, SIGTERM);
  if (!reap(pid_, kQuitGrace)) {
    ::kill(-pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  ::kill(-pid_, SIGKILL);  // Helpers of the group that outlived the browser.
}

void TestBrowser::kill() {
  if (pid_ <= 1) return;
  ::kill(-pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

Proc TestBrowser::proc() const {
  return Proc{.pid = pid_,
              .ppid = ::getpid(),
              .uid = static_cast<uint32_t>(uid_),
              .name = "chromium",
              .path = kExecutable,
              .listenPorts = {port_},
              .bundleID = chromiumBrowser(kExecutable)->bundleID};
}

BrowserAccess TestBrowser::access(double timeout) const {
  BrowserAccess access{.me = static_cast<uint32_t>(uid_),
                       .configHome = dir_.path() / "home/.config",
                       .timeout = timeout};
  return access;
}

Result<BrowserConnection, std::string> TestBrowser::connect() const {
  const RunningBrowser browser{proc(), *chromiumBrowser(kExecutable), BrowserProcs::args(pid_)};
  return BrowserConnection::open(browser, access(), Clock::now() + std::chrono::seconds(20));
}

DevToolsResult TestBrowser::call(const std::string& method, nlohmann::json params) const {
  const auto text = readWholeFile(dataDir_ / DevToolsEndpoints::kActivePortFile);
  const auto endpoint = text ? DevToolsEndpoints::parseActivePort(*text) : std::nullopt;
  if (!endpoint || !endpoint->browserPath) return Unexpected<std::string>("no endpoint");
  DevToolsClient client(endpoint->port, Clock::now() + std::chrono::seconds(20));
  if (auto connected = client.connect(*endpoint->browserPath); !connected)
    return Unexpected<std::string>(connected.error());
  return client.call(method, std::move(params));
}

bool TestBrowser::activate(const std::string& url) const {
  // Pages, not tabs, are what the browser brings forward.
  const auto list =
      DevToolsClient(port_, Clock::now() + std::chrono::seconds(20)).getJson("/json/list");
  if (!list || !list->is_array()) return false;
  for (const auto& page : *list)
    if (page.value("type", "") == "page" && page.value("url", "") == url)
      return call("Target.activateTarget", {{"targetId", page.value("id", "")}}).has_value();
  return false;
}

std::vector<TabTarget> TestBrowser::tabs() const {
  auto connection = connect();
  if (!connection) return {};
  auto read = connection.value().tabs(/*front=*/false);
  return read ? read->tabs : std::vector<TabTarget>{};
}

TabTarget TestBrowser::open(const std::string& url, bool newWindow, bool background) const {
  auto connection = connect();
  if (!connection || !connection.value().openTab(url, newWindow, background, "")) return {};
  const auto end = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < end) {
    const auto read = connection.value().tabs(/*front=*/false);
    if (read)
      for (const TabTarget& tab : read->tabs)
        // A page still loading is titled by its address, or not at all.
        if (tab.url == url && !tab.title.empty() &&
            tab.title.find("127.0.0.1") == std::string::npos)
          return tab;
    std::this_thread::sleep_for(kPoll);
  }
  return {};
}

}  // namespace kelvane::testing
