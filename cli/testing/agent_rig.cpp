#include "cli/testing/agent_rig.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <map>
#include <mutex>
#include <poll.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "core/store/store.h"
#include "core/support/file_io.h"
#include "core/support/text.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

// The built programs the tests run, by the name they are copied under.
const std::map<std::string, std::string>& sources() {
  static const std::map<std::string, std::string> map = {
      {"kelvane", KELVANE_CLI_PATH},          {"helper", KELVANE_AGENT_TEST_HELPER},
      {"keeper", KELVANE_AGENT_TEST_HELPER},  {"window", KELVANE_TEST_WINDOW},
      {"keeper-window", KELVANE_TEST_WINDOW}, {"other-window", KELVANE_TEST_WINDOW},
  };
  return map;
}

void ownBy(const fs::path& path, const TestUser& user, mode_t mode) {
  if (::chown(path.c_str(), user.uid, user.gid) != 0 || ::chmod(path.c_str(), mode) != 0)
    throw std::runtime_error("cannot hand " + path.string() + " to the test user");
}

}  // namespace

std::optional<TestUser> TestUser::find() {
  if (::geteuid() != 0) return std::nullopt;
  const passwd* entry = ::getpwnam("kelvane-test");
  if (!entry) return std::nullopt;
  return TestUser{entry->pw_uid, entry->pw_gid};
}

std::unique_ptr<Child> Child::spawn(const Options& o) {
  int pipes[2];
  if (::pipe2(pipes, O_CLOEXEC) != 0) return nullptr;
  std::vector<char*> argv, env;
  for (const auto& a : o.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : o.env) env.push_back(const_cast<char*>(e.c_str()));
  env.push_back(nullptr);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) return nullptr;
  if (pid == 0) {
    // Async-signal-safe calls only, until exec.
    ::setsid();
    if (o.tty) {
      const int tty = ::open(o.tty->c_str(), O_RDWR);
      if (tty < 0 || ::ioctl(tty, TIOCSCTTY, 0) != 0) ::_exit(126);
      ::dup2(tty, 0);
      ::dup2(pipes[1], 1);
      ::dup2(tty, 2);
    } else {
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(pipes[1], 1);
      const int err =
          o.errFile ? ::open(o.errFile->c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644) : null;
      ::dup2(err, 2);
    }
    if (o.uid && (::setgroups(0, nullptr) != 0 || ::setgid(o.gid) != 0 || ::setuid(*o.uid) != 0))
      ::_exit(126);
    // After the change of user, which clears it: the child dies with the test.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(126);
    if (::chdir(o.cwd.c_str()) != 0) ::_exit(126);
    ::execve(argv[0], argv.data(), env.data());
    ::_exit(127);
  }
  ::close(pipes[1]);
  return std::unique_ptr<Child>(new Child(pid, pipes[0]));
}

Child::~Child() {
  if (!status_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) ::close(out_);
}

bool Child::running() {
  if (status_) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return false;
}

std::optional<int> Child::waitExit(std::chrono::milliseconds timeout) {
  waitUntil([this] { return !running(); }, timeout);
  return status_;
}

std::string Child::readLine(std::chrono::milliseconds timeout) {
  const auto deadline = Steady::now() + timeout;
  for (;;) {
    if (const size_t end = buffered_.find('\n'); end != std::string::npos) {
      std::string line = buffered_.substr(0, end);
      buffered_.erase(0, end + 1);
      return line;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
    if (left.count() <= 0) return "";
    pollfd p{.fd = out_, .events = POLLIN};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[4096];
    const ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n <= 0) return "";
    buffered_.append(chunk, static_cast<size_t>(n));
  }
}

std::string Child::readAll(std::chrono::milliseconds timeout) {
  const auto deadline = Steady::now() + timeout;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
    if (left.count() <= 0) break;
    pollfd p{.fd = out_, .events = POLLIN};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char chunk[65536];
    const ssize_t n = ::read(out_, chunk, sizeof chunk);
    if (n <= 0) break;
    buffered_.append(chunk, static_cast<size_t>(n));
  }
  return std::exchange(buffered_, {});
}

void Child::signal(int signal) const {
  if (!status_) ::kill(pid_, signal);
}

AsUser::AsUser(uid_t uid, gid_t gid) {
  if (::setegid(gid) != 0 || ::seteuid(uid) != 0) throw std::runtime_error("cannot switch user");
}

AsUser::~AsUser() {
  (void)!::seteuid(0);
  (void)!::setegid(0);
}

bool waitUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout) {
  const auto deadline = Steady::now() + timeout;
  for (;;) {
    if (ready()) return true;
    if (Steady::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
}

std::string AgentRig::program(const std::string& name) {
  static TempDir bin;
  static std::mutex mutex;
  const std::lock_guard lock(mutex);
  // Each in a folder of its own: programs that share a folder are taken for
  // one application and its helpers.
  const fs::path copy = bin.path() / name / name;
  if (!fs::exists(copy)) {
    ::chmod(bin.path().c_str(), 0755);
    fs::create_directories(copy.parent_path());
    ::chmod(copy.parent_path().c_str(), 0755);
    fs::copy_file(sources().at(name), copy);
    ::chmod(copy.c_str(), 0755);
  }
  return copy.string();
}

void AgentRig::SetUp() {
  const auto user = TestUser::find();
  if (!user)
    GTEST_SKIP() << "needs root and the user kelvane-test (scripts/test.sh makes it): the "
                    "agent's sweeps act only as that user, on processes the test starts";
  user_ = *user;
  ::chmod(dir_.path().c_str(), 0755);
  home_ = dir_.path() / "home";
  runtime_ = dir_.path() / "run";
  data_ = dir_.path() / "data";
  for (const auto& folder : {home_, runtime_, data_}) {
    fs::create_directories(folder);
    ownBy(folder, user_, 0700);
  }
}

std::vector<std::string> AgentRig::environment(const std::vector<std::string>& extra) const {
  std::vector<std::string> env = {
      "HOME=" + home_.string(), "XDG_RUNTIME_DIR=" + runtime_.string(),
      "KELVANE_DATA=" + data_.string(),
      "PATH=" + fs::path(program("kelvane")).parent_path().string() + ":/usr/bin:/bin",
      "LANG=C.UTF-8"};
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

void AgentRig::writeData(const std::string& name, const nlohmann::json& value) const {
  const fs::path file = data_ / name;
  std::ofstream(file) << value.dump();
  ownBy(file, user_, 0600);
}

nlohmann::json AgentRig::config(const nlohmann::json& overrides) const {
  nlohmann::json config = {{"scheduleMinutes", 1},
                           {"learningUntil", (clockStart_ - 86400).iso8601()},
                           {"projectRoots", nlohmann::json::array({"~/Projects"})}};
  if (overrides.is_object()) config.merge_patch(overrides);
  return config;
}

void AgentRig::prepare(const nlohmann::json& overrides, double weeklyAgo) {
  writeData("config.json", config(overrides));
  writeData("schedule.json", {{"lastWeeklyRun", (clockStart_ - weeklyAgo).iso8601()}});
}

Child& AgentRig::startAgent(const std::vector<std::string>& args,
                            const std::vector<std::string>& extraEnv) {
  std::vector<std::string> argv = {program("kelvane"), "agent"};
  argv.insert(argv.end(), args.begin(), args.end());
  const fs::path logFile = dir_.path() / "agent.log";
  agent_ = Child::spawn({.argv = argv,
                         .env = environment(extraEnv),
                         .uid = user_.uid,
                         .gid = user_.gid,
                         .errFile = logFile.string()});
  if (!agent_) throw std::runtime_error("cannot start the agent");
  // Ready once it answers on its socket.
  const bool up = waitUntil([&] { return !state().is_null() || !agent_->running(); }, 60s);
  EXPECT_TRUE(up && agent_->running()) << log();
  return *agent_;
}

std::optional<int> AgentRig::stopAgent(std::chrono::milliseconds timeout) {
  if (!agent_) return std::nullopt;
  agent_->signal(SIGTERM);
  return agent_->waitExit(timeout);
}

std::string AgentRig::log() const {
  return readWholeFile(dir_.path() / "agent.log").value_or("(no log)");
}

AgentRig::Output AgentRig::kelvane(const std::vector<std::string>& args,
                                   const std::vector<std::string>& extraEnv) const {
  std::vector<std::string> argv = {program("kelvane")};
  argv.insert(argv.end(), args.begin(), args.end());
  // Commands may run at once (from the test and its waits): each its own file.
  static std::atomic<int> runs{0};
  const fs::path errFile = dir_.path() / ("command-" + std::to_string(++runs) + ".err");
  auto child = Child::spawn({.argv = argv,
                             .env = environment(extraEnv),
                             .uid = user_.uid,
                             .gid = user_.gid,
                             .errFile = errFile.string()});
  if (!child) return {};
  Output output;
  output.out = child->readAll(120s);
  output.status = child->waitExit(30s).value_or(-1);
  output.err = readWholeFile(errFile).value_or("");
  fs::remove(errFile);
  return output;
}

nlohmann::json AgentRig::state() const {
  const auto output = kelvane({"sweep", "--json"});
  if (output.status != 0) return nullptr;
  auto j = nlohmann::json::parse(output.out, nullptr, false);
  if (j.is_discarded() || !j.value("agent", nlohmann::json()).is_object()) return nullptr;
  return j;
}

Child& AgentRig::startAs(const std::vector<std::string>& argv, bool asRoot,
                         std::optional<std::string> tty, const std::vector<std::string>& extraEnv) {
  Child::Options options{.argv = argv, .env = environment(extraEnv), .tty = std::move(tty)};
  if (!asRoot) {
    options.uid = user_.uid;
    options.gid = user_.gid;
  }
  children_.push_back(Child::spawn(options));
  if (!children_.back()) throw std::runtime_error("cannot start " + argv.front());
  return *children_.back();
}

std::vector<RunRecord> AgentRig::runs() const { return Store(data_).lines<RunRecord>(kRunsFile); }

std::optional<std::string> AgentRig::brokenDataFile() const {
  for (const auto& entry : fs::directory_iterator(data_)) {
    const auto name = entry.path().filename().string();
    const auto text = readWholeFile(entry.path());
    if (name.ends_with(".json")) {
      if (!text || nlohmann::json::parse(*text, nullptr, false).is_discarded()) return name;
    } else if (name.ends_with(".jsonl")) {
      if (!text) return name;
      for (const auto line : Store::splitLines(*text))
        if (!nlohmann::json::parse(line, nullptr, false).is_object()) return name;
    }
  }
  return std::nullopt;
}

}  // namespace kelvane
