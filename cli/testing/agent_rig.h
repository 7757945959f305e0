#pragma once
// AgentRig: a fixture for tests that run the real agent and the kelvane
// commands as child processes. Everything that may be swept runs as the
// unprivileged test user (kelvane-test), with a home, a runtime folder and a
// support folder of its own in a temporary folder, so the agent can only ever
// reach processes the test started as that user. Needs root to switch users;
// skips otherwise.
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/store/records.h"
#include "core/support/testing/temp_dir.h"

namespace kelvane {

// The user the acting tests run as.
struct TestUser {
  uid_t uid = 0;
  gid_t gid = 0;
  // kelvane-test, when this process is root and the user exists.
  static std::optional<TestUser> find();
};

// A child process this test started; killed and reaped when dropped. It also
// dies when the test's main thread ends.
class Child final {
 public:
  struct Options {
    std::vector<std::string> argv;  // argv[0] is a path.
    std::vector<std::string> env;   // The whole environment.
    std::optional<uid_t> uid;       // Run as this user (and `gid`), else as the test.
    gid_t gid = 0;
    std::optional<std::string> tty;      // A terminal to make its controlling one and its stdio.
    std::optional<std::string> errFile;  // Standard error to this file, else to /dev/null.
    std::string cwd = "/";
  };
  // Starts it; its standard output is a pipe the test reads with readLine().
  static std::unique_ptr<Child> spawn(const Options& options);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // True while it has not exited (an exited child is reaped here).
  bool running();
  // Waits up to `timeout` for it to end; its exit status, or 128 + the signal.
  std::optional<int> waitExit(std::chrono::milliseconds timeout);
  // The next line of its standard output, without the line feed; "" at time-out.
  std::string readLine(std::chrono::milliseconds timeout);
  // Everything it wrote to standard output until it closed it or `timeout` passed.
  std::string readAll(std::chrono::milliseconds timeout);
  void signal(int signal) const;

 private:
  Child(pid_t pid, int out) : pid_(pid), out_(out) {}
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffered_;
  std::optional<int> status_;
};

// Switches this process's effective user for a scope (to connect to the
// agent's socket as its user, or as another).
class AsUser final {
 public:
  AsUser(uid_t uid, gid_t gid);
  ~AsUser();
  AsUser(const AsUser&) = delete;
  AsUser& operator=(const AsUser&) = delete;
};

// Waits until `ready` holds, looking every 20 ms; false after `timeout`.
bool waitUntil(const std::function<bool()>& ready, std::chrono::milliseconds timeout);

class AgentRig : public ::testing::Test {
 protected:
  void SetUp() override;

  // The path of a copy of a built program that the test user may run.
  static std::string program(const std::string& name);

  // The environment of the agent and the commands: the test user's home,
  // runtime and support folders, PATH with the rig's bin folder first.
  std::vector<std::string> environment(const std::vector<std::string>& extra = {}) const;
  // Writes a document into the support folder, owned by the test user.
  void writeData(const std::string& name, const nlohmann::json& value) const;
  // A configuration that has ended learning and sweeps every minute, with the
  // given settings merged over it.
  nlohmann::json config(const nlohmann::json& overrides) const;
  // Writes config.json and a schedule.json whose weekly run was `weeklyAgo`
  // seconds before `clockStart` (not a first start, which would learn a day).
  void prepare(const nlohmann::json& overrides, double weeklyAgo = 0);

  // Starts the agent as the test user; its log goes to log().
  Child& startAgent(const std::vector<std::string>& args,
                    const std::vector<std::string>& extraEnv = {});
  // Sends SIGTERM and returns the agent's exit status.
  std::optional<int> stopAgent(std::chrono::milliseconds timeout = std::chrono::seconds(90));
  std::string log() const;

  struct Output {
    int status = -1;
    std::string out;
    std::string err;  // Its standard error, for failure messages.
  };
  // Runs `kelvane ARGS` as the test user and waits for it.
  Output kelvane(const std::vector<std::string>& args,
                 const std::vector<std::string>& extraEnv = {}) const;
  // The agent's state, from `kelvane sweep --json`; null when it fails.
  nlohmann::json state() const;

  // Starts a program as the test user (or as root with `asRoot`).
  Child& startAs(const std::vector<std::string>& argv, bool asRoot = false,
                 std::optional<std::string> tty = std::nullopt,
                 const std::vector<std::string>& extraEnv = {});

  // The support folder's runs, oldest first.
  std::vector<RunRecord> runs() const;
  // Tells whether every .json file of the support folder holds one JSON value
  // and every line of every .jsonl file is a JSON object; names the first
  // that does not.
  std::optional<std::string> brokenDataFile() const;

  TestUser user_;
  TempDir dir_;
  std::filesystem::path home_, runtime_, data_;
  Date clockStart_ = Date::now();
  std::unique_ptr<Child> agent_;
  std::vector<std::unique_ptr<Child>> children_;
};

}  // namespace kelvane
