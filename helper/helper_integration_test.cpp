// The daemon itself, run as a child process on temporary files. Its admission
// checks are the real ones: the test's configuration names this test program
// and the command-line tool as the clients, and the test runs as root with no
// new privileges, so its connections pass them as an installed client's would.
#include <arpa/inet.h>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <memory>
#include <netinet/in.h>
#include <set>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/proxyswitch/proxy_settings.h"
#include "core/support/file_io.h"
#include "helper/admission.h"
#include "helper/helper_service.h"
#include "helper/plist_json.h"
#include "helper/testing/helper_process.h"
#include "helper/testing/temp_folder.h"

namespace kelvane {
namespace {

using nlohmann::json;
using testing::ChildProcess;
using testing::eventually;
using testing::HelperClient;
using testing::readText;

const json kOriginal = json::parse(R"({"version": 3, "services": [
  {"id": "wifi-1", "name": "Wi-Fi", "enabled": true,
   "proxies": {"HTTPEnable": 1, "HTTPProxy": "proxy.corp", "HTTPPort": 3128, "HTTPSEnable": 0,
               "SOCKSEnable": 1, "SOCKSProxy": "socks.corp", "ExceptionsList": ["*.corp"],
               "FTPPassive": true, "Weight": 0.5, "Blob": {"$data": "AQID"}}},
  {"id": "eth-2", "name": "Ethernet", "enabled": false, "proxies": {}},
  {"id": "bt-3", "name": "Bluetooth PAN", "enabled": true}]})");

std::string enable(int port) {
  return R"({"call":"enable","host":"127.0.0.1","port":)" + std::to_string(port) + "}";
}
constexpr const char* kStatus = R"({"call":"status"})";
constexpr const char* kOn = R"({"applied":true,"tampered":false})";
constexpr const char* kOff = R"({"applied":false,"tampered":false})";

// The document with both services that have proxies pointed at our port.
json switchedTo(int port) {
  json doc = kOriginal;
  for (int i : {0, 1})
    doc["services"][i]["proxies"].update(
        {{"HTTPEnable", 1},
         {"HTTPProxy", "127.0.0.1"},
         {"HTTPPort", port},
         {"HTTPSEnable", 1},
         {"HTTPSProxy", "127.0.0.1"},
         {"HTTPSPort", port},
         {"ExceptionsList", {"localhost", "127.0.0.1", "*.local", "169.254/16"}}});
  return doc;
}

using testing::modeOf;

// A child of the test's own, killed and reaped when the object goes.
struct OwnChild {
  pid_t pid = -1;
  ~OwnChild() {
    if (pid > 0 && ::kill(pid, SIGKILL) == 0) ::waitpid(pid, nullptr, 0);
  }
};

// Forks a child that connects to `socketPath`, writes `bytes`, then runs
// `program` (with the argument "30"), which inherits the connection.
pid_t connectWriteExec(const std::string& socketPath, const std::string& bytes,
                       const std::string& program) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
  const char* argv[] = {program.c_str(), "30", nullptr};
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);  // no close-on-exec: the program keeps it
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::write(fd, bytes.data(), bytes.size()) != ssize_t(bytes.size()))
    ::_exit(1);
  ::execv(argv[0], const_cast<char* const*>(argv));
  ::_exit(1);
}

// The descriptor limit that leaves process `pid` exactly `free` descriptors to
// open: new ones take the lowest free numbers, and those above the limit stay open.
std::string fdList(pid_t pid) {
  std::string out;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
    out += entry.path().filename().string() + "=" +
           std::filesystem::read_symlink(entry.path()).string() + " ";
  return out;
}

rlim_t limitLeaving(pid_t pid, int free) {
  std::set<int> open;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
    open.insert(std::stoi(entry.path().filename().string()));
  int number = 0;
  for (; free > 0; ++number)
    if (!open.contains(number)) --free;
  return rlim_t(number);
}

class HelperDaemon : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "the daemon trusts only a root-owned configuration";
    // The stand-in for the hardened runtime, which the daemon checks on its clients.
    ASSERT_EQ(::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), 0);
    writeDoc(kOriginal);
    const auto self = std::filesystem::read_symlink("/proc/self/exe").string();
    writeConfig({{"teamID", "TESTTEAM01"}, {"clientPaths", {self, KELVANE_CLI_PATH}}});
  }
  void writeDoc(const json& doc) {  // whole, through a rename, as every writer must
    testing::writeText(prefs + ".new", doc.dump(2));
    std::filesystem::rename(prefs + ".new", prefs);
  }
  json doc() const { return json::parse(readText(prefs), nullptr, false); }
  void writeConfig(const json& config) { testing::writeText(configPath, config.dump()); }

  std::unique_ptr<ChildProcess> start(int tickMs = 60'000, int idleMs = 60'000) {
    auto daemon = std::make_unique<ChildProcess>(
        KELVANE_PROXY_HELPER_PATH,
        std::vector<std::string>{"--config", configPath, "--prefs", prefs, "--saved-file", saved,
                                 "--socket", socket, "--tick-ms", std::to_string(tickMs),
                                 "--idle-timeout-ms", std::to_string(idleMs), "--log-stderr"},
        tmp / "daemon.log");
    EXPECT_TRUE(daemon->waitForSocket(socket)) << readText(tmp / "daemon.log");
    return daemon;
  }
  std::string status() { return HelperClient(socket).request(kStatus).value_or("no reply"); }
  bool savedExists() const { return std::filesystem::exists(saved); }
  bool logged(std::string_view line) const {
    return readText(tmp / "daemon.log").find(std::string(line) + "\n") != std::string::npos;
  }

  testing::TempFolder tmp;
  std::string prefs = tmp / "network-services.json";
  std::string configPath = tmp / "proxyhelper.json";
  std::string saved = tmp / "Application Support/Kelvane/proxy-saved.plist";
  std::string socket = tmp / "run/proxyhelper.sock";
};

TEST_F(HelperDaemon, SwitchesEveryServiceAndOnlyTheLatestClientRestores) {
  auto daemon = start();
  auto first = std::make_unique<HelperClient>(socket);
  ASSERT_EQ(first->request(enable(9091)), "{}");
  EXPECT_EQ(first->request(kStatus), kOn);
  EXPECT_EQ(doc(), switchedTo(9091));
  EXPECT_EQ(modeOf(saved), 0600u);
  EXPECT_EQ(modeOf(std::filesystem::path(saved).parent_path()), 0700u);
  const auto text = readText(saved);
  const auto savedSet = ProxySettings::decode(std::vector<uint8_t>(text.begin(), text.end()));
  ASSERT_TRUE(savedSet && savedSet->size() == 2);
  EXPECT_EQ(plistToJson(PlistValue(savedSet->at("wifi-1"))), kOriginal["services"][0]["proxies"]);

  auto second = std::make_unique<HelperClient>(socket);
  ASSERT_EQ(second->request(enable(9095)), "{}");
  first.reset();
  EXPECT_EQ(status(), kOn);  // a later connection is answered after the first one's close
  EXPECT_EQ(doc(), switchedTo(9095));
  second.reset();
  EXPECT_TRUE(eventually([&] { return status() == kOff; }));
  EXPECT_EQ(doc(), kOriginal);
  EXPECT_FALSE(savedExists());
  EXPECT_EQ(daemon->stop(SIGTERM), 0);
  EXPECT_FALSE(std::filesystem::exists(socket));
}

TEST_F(HelperDaemon, AStopThatCouldNotRestoreIsMendedBeforeServingAgain) {
  auto daemon = start();
  HelperClient client(socket);
  ASSERT_EQ(client.request(enable(9100)), "{}");
  EXPECT_EQ(daemon->stop(SIGKILL), 128 + SIGKILL);
  EXPECT_EQ(doc(), switchedTo(9100));
  daemon = start();  // returns once the socket accepts
  EXPECT_EQ(doc(), kOriginal);
  EXPECT_FALSE(savedExists());

  HelperClient again(socket);
  ASSERT_EQ(again.request(enable(9101)), "{}");
  std::filesystem::rename(prefs, prefs + ".away");  // the preferences cannot be opened
  EXPECT_EQ(daemon->stop(SIGTERM), 1);
  EXPECT_TRUE(savedExists());
  std::filesystem::rename(prefs + ".away", prefs);
  daemon = start();
  EXPECT_EQ(doc(), kOriginal);
  EXPECT_EQ(daemon->stop(SIGTERM), 0);
}

TEST_F(HelperDaemon, DeadProxyIsGivenUpWhileTamperingIsOnlyReported) {
  // A listener standing in for the local proxy, on a free port of our range.
  const int proxy = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int port = 9091;
  for (; port <= 9111; ++port) {
    address.sin_port = htons(uint16_t(port));
    if (::bind(proxy, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) break;
  }
  ASSERT_TRUE(port <= 9111 && ::listen(proxy, 8) == 0);

  auto daemon = start(/*tickMs=*/100);
  HelperClient client(socket);
  ASSERT_EQ(client.request(enable(port)), "{}");
  auto changed = doc();
  changed["services"][0]["proxies"]["HTTPSProxy"] = "10.9.9.9";
  writeDoc(changed);
  // Tampering shows on a third tick; the live proxy keeps the switch on meanwhile.
  EXPECT_TRUE(
      eventually([&] { return client.request(kStatus) == R"({"applied":true,"tampered":true})"; }));
  EXPECT_EQ(doc(), changed);
  ::close(proxy);
  EXPECT_TRUE(eventually([&] { return client.request(kStatus) == kOff; }));
  EXPECT_EQ(doc(), kOriginal);
}

TEST_F(HelperDaemon, BadInputIsAnsweredAndSwitchesNothing) {
  auto daemon = start();
  HelperClient idle(socket);  // connects and never says a word
  HelperClient client(socket);
  EXPECT_EQ(client.request("this is not json"), R"({"error":"Not a JSON request"})");
  EXPECT_EQ(client.request(R"({"call":"reboot"})"), R"({"error":"Unknown call"})");
  EXPECT_EQ(client.request(R"({"call":"enable","host":"127.0.0.1","port":"9091"})"),
            R"({"error":"Bad request: port must be an integer"})");
  EXPECT_EQ(client.request(enable(8080)), R"({"error":"Invalid proxy address"})");
  HelperClient flooding(socket);
  flooding.send(std::string(1 << 20, 'x') + "\n");  // the daemon hangs up part way
  EXPECT_EQ(flooding.readLine(), R"({"error":"Request too long"})");
  EXPECT_EQ(flooding.readLine(), std::nullopt);
  EXPECT_EQ(client.request(kStatus), kOff);
  EXPECT_EQ(doc(), kOriginal);
  EXPECT_FALSE(savedExists());
  ASSERT_EQ(client.request(enable(9091)), "{}");  // still serving
  EXPECT_EQ(client.request(R"({"call":"disable"})"), "{}");
  EXPECT_EQ(doc(), kOriginal);
}

TEST_F(HelperDaemon, WithoutATeamIDEveryClientIsRefusedAndLogged) {
  writeConfig({{"clientPaths", {std::filesystem::read_symlink("/proc/self/exe")}}});
  auto daemon = start();
  HelperClient client(socket);
  EXPECT_EQ(client.request(enable(9091)), std::nullopt);  // closed without a reply
  EXPECT_EQ(daemon->stop(SIGTERM), 0);
  const std::string refused = std::string(Admission::kNoTeamID) + "\n";  // the start-up probe's too
  EXPECT_EQ(readText(tmp / "daemon.log"), "KelvaneProxyHelper: configuration " + configPath +
                                              ": has no teamID, so no client is admitted\n" +
                                              refused + refused);
  EXPECT_EQ(doc(), kOriginal);
}

TEST_F(HelperDaemon, CommandLineToolHoldsTheSwitchUntilInterrupted) {
  auto daemon = start();
  const auto kelvane = [&](std::vector<std::string> args, const std::string& output) {
    return std::make_unique<ChildProcess>(KELVANE_CLI_PATH, std::move(args), tmp / output);
  };
  EXPECT_EQ(kelvane({"proxy", "status", "--socket", socket}, "status.out")->stop(), 0);
  EXPECT_EQ(readText(tmp / "status.out"), "applied: no\ntampered: no\n");
  auto holding = kelvane({"proxy", "--socket", socket, "enable", "--port", "9093"}, "enable.out");
  ASSERT_TRUE(eventually([&] { return status() == kOn; }));
  EXPECT_EQ(doc(), switchedTo(9093));
  EXPECT_EQ(holding->stop(SIGINT), 0);
  EXPECT_EQ(readText(tmp / "enable.out"),
            "Proxy switched to 127.0.0.1:9093. Press Ctrl-C to put the settings back.\n"
            "Proxy settings put back.\n");
  EXPECT_EQ(doc(), kOriginal);
  EXPECT_EQ(kelvane({"proxy", "enable", "--port", "80", "--socket", socket}, "bad.out")->stop(), 1);
  EXPECT_EQ(readText(tmp / "bad.out"), "kelvane: Invalid proxy address\n");
}

TEST_F(HelperDaemon, TemporaryFilesOfWritesCutShortAreRemovedBeforeServing) {
  // What a kill between creating a temporary file and renaming it leaves.
  const auto leftover = [](const std::string& target) {
    const auto path = std::filesystem::path(target);
    std::string name = (path.parent_path() / temporaryPattern(path.filename().string())).string();
    const int fd = ::mkstemp(name.data());
    if (fd >= 0) ::close(fd);
    return name;
  };
  std::filesystem::create_directories(std::filesystem::path(saved).parent_path());
  const std::string ours[] = {leftover(prefs), leftover(saved)};
  const std::string others = leftover(configPath);  // in the same folder, but not of its files
  auto daemon = start();
  for (const auto& path : ours) {
    EXPECT_FALSE(std::filesystem::exists(path)) << path;
    EXPECT_TRUE(
        logged("KelvaneProxyHelper: removed the temporary file a cut-short write left: " + path));
  }
  EXPECT_TRUE(std::filesystem::exists(others));
  EXPECT_EQ(status(), kOff);
}

TEST_F(HelperDaemon, ARefusedEnableLeavesTheSwitchWithTheClientThatMadeIt) {
  auto daemon = start();
  auto holder = std::make_unique<HelperClient>(socket);
  ASSERT_EQ(holder->request(enable(9091)), "{}");
  HelperClient other(socket);
  EXPECT_EQ(other.request(enable(80)), R"({"error":"Invalid proxy address"})");
  std::filesystem::rename(prefs, prefs + ".away");
  EXPECT_EQ(other.request(enable(9092)), R"({"error":"Can't open the network settings"})");
  std::filesystem::rename(prefs + ".away", prefs);
  EXPECT_EQ(doc(), switchedTo(9091));
  holder.reset();  // the holder leaving puts the settings back, the other still connected
  EXPECT_TRUE(eventually([&] { return other.request(kStatus) == kOff; }));
  EXPECT_EQ(doc(), kOriginal);
}

TEST_F(HelperDaemon, ARequestWrittenBeforeAListedProgramTookOverTheProcessIsRefused) {
  // sleep stands in for a listed client that keeps the descriptors it inherits;
  // this test, which writes the request, is not listed.
  const std::string listed = "/usr/bin/sleep";
  if (!std::filesystem::exists(listed)) GTEST_SKIP() << "no " << listed;
  writeConfig({{"teamID", "TESTTEAM01"}, {"clientPaths", {listed}}});
  auto daemon = start();
  // Stopped, the daemon accepts only once the program runs, when a check of
  // the program alone would pass.
  ASSERT_EQ(::kill(daemon->pid(), SIGSTOP), 0);
  OwnChild client{connectWriteExec(socket, enable(9099) + "\n", listed)};
  ASSERT_GT(client.pid, 0);
  EXPECT_TRUE(eventually([&] {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/" + std::to_string(client.pid) + "/exe", ec) ==
           listed;
  }));
  ASSERT_EQ(::kill(daemon->pid(), SIGCONT), 0);
  EXPECT_TRUE(eventually([&] { return logged(Admission::kSpokeFirst); }));
  EXPECT_EQ(doc(), kOriginal);
  EXPECT_FALSE(savedExists());
}

TEST_F(HelperDaemon, ARequestAnotherProcessWritesOnAClientsConnectionIsRefused) {
  auto daemon = start();
  HelperClient client(socket);
  ASSERT_EQ(client.greeting(), R"(["KelvaneProxyHelper",1])");
  const pid_t child = ::fork();  // shares the admitted connection
  if (child == 0) {
    client.send(enable(9099) + "\n");
    ::_exit(0);
  }
  ASSERT_GT(child, 0);
  ::waitpid(child, nullptr, 0);
  EXPECT_EQ(client.readLine(), std::nullopt);  // closed without a reply
  EXPECT_TRUE(logged(Admission::kOtherWriter));
  EXPECT_EQ(doc(), kOriginal);
  EXPECT_EQ(status(), kOff);
}

TEST_F(HelperDaemon, ConnectionsWithoutRequestsAreClosedButNotTheSwitchHolders) {
  auto daemon = start(/*tickMs=*/60'000, /*idleMs=*/1'500);
  HelperClient holder(socket);
  ASSERT_EQ(holder.request(enable(9091)), "{}");
  HelperClient silent(socket);  // never says a word
  HelperClient asked(socket);
  ASSERT_EQ(asked.request(kStatus), kOn);  // asks once, then falls silent
  const std::string closing = R"({"error":"Idle connection closed"})";
  EXPECT_EQ(silent.readLine(), closing);
  EXPECT_EQ(silent.readLine(), std::nullopt);
  EXPECT_EQ(asked.readLine(), closing);
  // The holder has been silent longer than either and is still served.
  EXPECT_EQ(holder.request(kStatus), kOn);
  EXPECT_EQ(doc(), switchedTo(9091));
}

TEST_F(HelperDaemon, ARequestThatWaitedLongerThanTheIdleTimeIsNoSilence) {
  auto daemon = start(/*tickMs=*/60'000, /*idleMs=*/1'500);
  HelperClient holder(socket);
  ASSERT_EQ(holder.request(enable(9091)), "{}");
  HelperClient other(socket);
  {
    // Another writer of the network settings holds their lock, so the restore waits.
    const FileDescriptor lock(::open((prefs + ".lock").c_str(), O_RDWR | O_CLOEXEC));
    ASSERT_EQ(::flock(lock.get(), LOCK_EX), 0);
    other.send(R"({"call":"disable"})"
               "\n");
    std::this_thread::sleep_for(std::chrono::seconds(3));  // twice the idle time
  }
  EXPECT_EQ(other.readLine(), "{}");
  EXPECT_EQ(other.request(kStatus), kOff);  // answered, not closed as idle
  EXPECT_EQ(doc(), kOriginal);
}

TEST_F(HelperDaemon, EachUserHoldsABoundedNumberOfConnections) {
  auto daemon = start();
  std::vector<std::unique_ptr<HelperClient>> clients;
  for (std::size_t i = 0; i < HelperService::kMaxConnectionsPerUser; ++i) {
    clients.push_back(std::make_unique<HelperClient>(socket));
    ASSERT_TRUE(clients.back()->greeting()) << i;
  }
  HelperClient refused(socket);
  EXPECT_EQ(refused.greeting(), std::nullopt);
  EXPECT_TRUE(logged(std::string(Admission::kTooManyConnections) +
                     std::to_string(HelperService::kMaxConnectionsPerUser)));
  clients.pop_back();
  EXPECT_TRUE(eventually([&] { return status() == kOff; }));
}

TEST_F(HelperDaemon, AClientThatCannotBeCheckedIsRefusedForThatReason) {
  auto daemon = start();
  // Once it answers, the daemon holds every descriptor it keeps (the socket is there a
  // moment before its signal handling is); the answered connection's own descriptor
  // goes a moment after the answer, on a loaded machine later still.
  ASSERT_EQ(status(), kOff);
  const auto openCount = [&] {
    const auto fds = "/proc/" + std::to_string(daemon->pid()) + "/fd";
    return std::distance(std::filesystem::directory_iterator(fds),
                         std::filesystem::directory_iterator());
  };
  for (auto before = openCount(), tries = decltype(before)(0); tries < 40; ++tries) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto now = openCount();
    if (now == before) break;
    before = now;
  }
  // Leaves the daemon four descriptors beyond those it holds: a new client takes
  // one for its connection and the check of it three more at once (its process's
  // /proc folder, stat line and status), which an admitted connection gives back.
  rlimit limit{};
  ASSERT_EQ(::prlimit(daemon->pid(), RLIMIT_NOFILE, nullptr, &limit), 0);
  limit.rlim_cur = limitLeaving(daemon->pid(), 4);
  ASSERT_EQ(::prlimit(daemon->pid(), RLIMIT_NOFILE, &limit, nullptr), 0);
  std::vector<std::unique_ptr<HelperClient>> admitted;
  for (int i = 0; i < 8; ++i) {
    auto client = std::make_unique<HelperClient>(socket);
    if (!client->greeting()) break;
    admitted.push_back(std::move(client));
  }
  EXPECT_LT(admitted.size(), 8u);
  EXPECT_TRUE(logged(std::string(Admission::kUnchecked) +
                     "its process status cannot be read: the helper has run out of file "
                     "descriptors"))
      << readText(tmp / "daemon.log");
  EXPECT_FALSE(logged(Admission::kNoHardenedRuntime));
  admitted.clear();  // with descriptors free again, clients are served
  std::string last;
  EXPECT_TRUE(eventually([&] { return (last = status()) == kOff; }))
      << last << "\n"
      << fdList(daemon->pid()) << "\n"
      << readText(tmp / "daemon.log");
}

}  // namespace
}  // namespace kelvane
