// The daemon itself, run as a child process on temporary files. Its admission
// checks are the real ones: the test's configuration names this test program
// as the only client, and the test runs as root with no new privileges, so it
// passes them the way an installed client would.
#include <arpa/inet.h>
#include <filesystem>
#include <grp.h>
#include <memory>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/proxyswitch/proxy_settings.h"
#include "helper/admission.h"
#include "helper/plist_json.h"
#include "helper/testing/helper_process.h"
#include "helper/testing/temp_folder.h"

namespace kelvane {
namespace {

using nlohmann::json;
using testing::eventually;
using testing::HelperClient;
using testing::HelperProcess;
using testing::readText;

const json kOriginal = json::parse(R"({
  "version": 3,
  "services": [
    {"id": "wifi-1", "name": "Wi-Fi", "enabled": true,
     "proxies": {"HTTPEnable": 1, "HTTPProxy": "proxy.corp", "HTTPPort": 3128, "HTTPSEnable": 0,
                 "SOCKSEnable": 1, "SOCKSProxy": "socks.corp", "SOCKSPort": 1080,
                 "ExceptionsList": ["*.corp", "10.0.0.0/8"], "FTPPassive": true,
                 "Weight": 0.5, "Blob": {"$data": "AQID"}}},
    {"id": "eth-2", "name": "Ethernet", "enabled": false, "proxies": {}},
    {"id": "bt-3", "name": "Bluetooth PAN", "enabled": true}
  ]
})");

std::string enableLine(int port) {
  return R"({"call":"enable","host":"127.0.0.1","port":)" + std::to_string(port) + "}";
}
constexpr const char* kStatus = R"({"call":"status"})";
constexpr const char* kDisable = R"({"call":"disable"})";
constexpr const char* kOn = R"({"applied":true,"tampered":false})";
constexpr const char* kOff = R"({"applied":false,"tampered":false})";

// The proxies every switched service carries, on top of its own other keys.
json ours(int port) {
  return {{"HTTPEnable", 1},
          {"HTTPProxy", "127.0.0.1"},
          {"HTTPPort", port},
          {"HTTPSEnable", 1},
          {"HTTPSProxy", "127.0.0.1"},
          {"HTTPSPort", port},
          {"ExceptionsList", {"localhost", "127.0.0.1", "*.local", "169.254/16"}}};
}

json switchedTo(int port) {
  json doc = kOriginal;
  for (int i : {0, 1}) doc["services"][i]["proxies"].update(ours(port));
  return doc;
}

// A TCP listener standing in for the local proxy, on a free port of our range.
struct FakeProxy {
  int fd = -1;
  int port = 0;
  FakeProxy() {
    for (int p = 9091; p <= 9111 && port == 0; ++p) {
      fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in address{};
      address.sin_family = AF_INET;
      address.sin_port = htons(uint16_t(p));
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
          ::listen(fd, 16) == 0)
        port = p;
      else
        ::close(fd);
    }
  }
  ~FakeProxy() { stop(); }
  void stop() {
    if (port != 0) ::close(fd);
    port = 0;
  }
};

class HelperDaemon : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0)
      GTEST_SKIP() << "the daemon trusts only a root-owned configuration; run as root";
    // The stand-in for the hardened runtime, which the daemon checks on its clients.
    ASSERT_EQ(::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), 0);
    writeDoc(kOriginal);
    writeConfig({{"teamID", "TESTTEAM01"},
                 {"clientPaths", {std::filesystem::read_symlink("/proc/self/exe").string()}}});
  }

  void writeDoc(const json& doc) {
    testing::writeText(prefs + ".new", doc.dump(2));
    std::filesystem::rename(prefs + ".new", prefs);  // whole, as any writer must
  }
  json doc() const { return json::parse(readText(prefs), nullptr, false); }
  void writeConfig(const json& config) {
    testing::writeText(configPath, config.dump());
    ::chmod(configPath.c_str(), 0600);
  }

  // Starts the daemon and waits for its socket.
  std::unique_ptr<HelperProcess> start(int tickMs = 60'000) {
    auto daemon = std::make_unique<HelperProcess>(
        KELVANE_PROXY_HELPER_PATH,
        std::vector<std::string>{"--config", configPath, "--prefs", prefs, "--saved-file", saved,
                                 "--socket", socket, "--tick-ms", std::to_string(tickMs),
                                 "--log-stderr"},
        tmp / "daemon.log");
    EXPECT_TRUE(daemon->waitForSocket(socket)) << readText(tmp / "daemon.log");
    return daemon;
  }

  std::string status() { return HelperClient(socket).request(kStatus).value_or("no reply"); }
  bool savedExists() const { return std::filesystem::exists(saved); }

  testing::TempFolder tmp;
  std::string prefs = tmp / "network-services.json";
  std::string configPath = tmp / "proxyhelper.json";
  std::string saved = tmp / "Application Support/Kelvane/proxy-saved.plist";
  std::string socket = tmp / "run/proxyhelper.sock";
};

mode_t modeOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST_F(HelperDaemon, EnableSwitchesEveryServiceAndKeepsTheUsersCopyPrivate) {
  FakeProxy proxy;
  ASSERT_NE(proxy.port, 0);
  auto daemon = start();
  {
    HelperClient client(socket);
    ASSERT_EQ(client.request(enableLine(proxy.port)), "{}");
    EXPECT_EQ(client.request(kStatus), kOn);
    EXPECT_EQ(doc(), switchedTo(proxy.port));
    EXPECT_EQ(modeOf(saved), 0600u);
    EXPECT_EQ(modeOf(std::filesystem::path(saved).parent_path()), 0700u);
    const auto text = readText(saved);
    const auto savedSet = ProxySettings::decode(std::vector<uint8_t>(text.begin(), text.end()));
    ASSERT_TRUE(savedSet);
    json savedJson;
    for (const auto& [id, config] : *savedSet) savedJson[id] = plistToJson(PlistValue(config));
    EXPECT_EQ(savedJson, json({{"wifi-1", kOriginal["services"][0]["proxies"]}, {"eth-2", json::object()}}));
  }  // the client goes away
  EXPECT_TRUE(eventually([&] { return status() == kOff; }));
  EXPECT_EQ(doc(), kOriginal);
  EXPECT_FALSE(savedExists());
  EXPECT_EQ(daemon->stop(SIGTERM), 0);
  EXPECT_FALSE(std::filesystem::exists(socket));
}

TEST_F(HelperDaemon, OnlyTheLatestEnablingClientRestoresWhenItGoes) {
  auto daemon = start();
  auto first = std::make_unique<HelperClient>(socket);
  HelperClient second(socket);
  ASSERT_EQ(first->request(enableLine(9091)), "{}");
  ASSERT_EQ(second.request(enableLine(9091)), "{}");
  first.reset();
  EXPECT_EQ(status(), kOn);  // a later connection is answered after the first's close
  EXPECT_EQ(doc(), switchedTo(9091));
  second.close();
  EXPECT_TRUE(eventually([&] { return status() == kOff; }));
  EXPECT_EQ(doc(), kOriginal);
}

TEST_F(HelperDaemon, KilledWhileSwitchedRestoresBeforeServingAgain) {
  auto daemon = start();
  HelperClient client(socket);
  ASSERT_EQ(client.request(enableLine(9100)), "{}");
  EXPECT_EQ(daemon->stop(SIGKILL), 128 + SIGKILL);
  EXPECT_EQ(doc(), switchedTo(9100));
  ASSERT_TRUE(savedExists());
  daemon = start();  // returns once the socket accepts
  EXPECT_EQ(doc(), kOriginal);
  EXPECT_FALSE(savedExists());
}

TEST_F(HelperDaemon, TerminationThatCannotRestoreExitsOneAndKeepsTheSavedFile) {
  auto daemon = start();
  HelperClient client(socket);
  ASSERT_EQ(client.request(enableLine(9091)), "{}");
  std::filesystem::rename(prefs, prefs + ".away");  // the preferences cannot be opened
  EXPECT_EQ(daemon->stop(SIGTERM), 1);
  EXPECT_TRUE(savedExists());
  std::filesystem::rename(prefs + ".away", prefs);
  daemon = start();
  EXPECT_EQ(doc(), kOriginal);
  EXPECT_EQ(daemon->stop(SIGTERM), 0);
}

TEST_F(HelperDaemon, DeadProxyIsGivenUpWhileTamperingIsOnlyReported) {
  FakeProxy proxy;
  ASSERT_NE(proxy.port, 0);
  auto daemon = start(/*tickMs=*/100);
  HelperClient client(socket);
  ASSERT_EQ(client.request(enableLine(proxy.port)), "{}");
  auto changed = doc();
  changed["services"][0]["proxies"]["HTTPSProxy"] = "10.9.9.9";
  writeDoc(changed);
  // Tampering shows on every third tick; the live proxy keeps the switch on meanwhile.
  ASSERT_TRUE(
      eventually([&] { return client.request(kStatus) == R"({"applied":true,"tampered":true})"; }));
  EXPECT_EQ(doc(), changed);
  proxy.stop();
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
  EXPECT_EQ(client.request(enableLine(8080)), R"({"error":"Invalid proxy address"})");
  {
    HelperClient flooding(socket);
    flooding.send(std::string(1 << 20, 'x') + "\n");  // the daemon hangs up part way
    EXPECT_EQ(flooding.readLine(), R"({"error":"Request too long"})");
    EXPECT_TRUE(flooding.closedByDaemon());
  }
  EXPECT_EQ(client.request(kStatus), kOff);
  EXPECT_EQ(doc(), kOriginal);
  EXPECT_FALSE(savedExists());
  ASSERT_EQ(client.request(enableLine(9091)), "{}");  // still serving
  EXPECT_EQ(client.request(kDisable), "{}");
  EXPECT_EQ(doc(), kOriginal);
}

TEST_F(HelperDaemon, DamagedSavedFileStillTurnsOurProxyOffAtStart) {
  auto switched = switchedTo(9100);
  writeDoc(switched);
  std::filesystem::create_directories(std::filesystem::path(saved).parent_path());
  testing::writeText(saved, "not a property list");
  auto daemon = start();
  for (int i : {0, 1}) {
    switched["services"][i]["proxies"]["HTTPEnable"] = 0;
    switched["services"][i]["proxies"]["HTTPSEnable"] = 0;
  }
  EXPECT_EQ(doc(), switched);
  EXPECT_FALSE(savedExists());
}

TEST_F(HelperDaemon, EverySequenceEndsWithTheUsersOwnSettings) {
  auto daemon = start();
  {
    HelperClient a(socket), b(socket);
    ASSERT_EQ(a.request(enableLine(9091)), "{}");
    ASSERT_EQ(b.request(enableLine(9095)), "{}");  // another port while switched
    ASSERT_EQ(b.request(kDisable), "{}");
    EXPECT_EQ(doc(), kOriginal);
    ASSERT_EQ(a.request(enableLine(9093)), "{}");
    ASSERT_EQ(b.request(enableLine(9094)), "{}");
    EXPECT_EQ(daemon->stop(SIGKILL), 128 + SIGKILL);
  }
  daemon = start();
  HelperClient c(socket);
  ASSERT_EQ(c.request(enableLine(9092)), "{}");
  ASSERT_EQ(c.request(enableLine(9111)), "{}");
  EXPECT_EQ(daemon->stop(SIGTERM), 0);
  EXPECT_EQ(doc(), kOriginal);
  EXPECT_FALSE(savedExists());
}

TEST_F(HelperDaemon, RefusedClientsAreLoggedAndGetNothing) {
  writeConfig({{"clientPaths", {"/usr/bin/true"}}});  // no Team ID
  ::chmod(tmp.path().c_str(), 0755);  // so that an unprivileged user can reach the socket
  auto daemon = start();

  const pid_t child = ::fork();
  if (child == 0) {  // an ordinary user: only system calls from here on
    const gid_t nobody = 65534;
    if (::setgroups(0, nullptr) != 0 || ::setgid(nobody) != 0 || ::setuid(nobody) != 0) _exit(2);
    HelperClient stranger(socket);
    _exit(stranger.connected() && !stranger.request(kStatus) ? 0 : 1);
  }
  int childStatus = -1;
  ASSERT_EQ(::waitpid(child, &childStatus, 0), child);
  EXPECT_TRUE(WIFEXITED(childStatus) && WEXITSTATUS(childStatus) == 0);

  HelperClient root(socket);
  EXPECT_EQ(root.request(kStatus), std::nullopt);
  EXPECT_EQ(daemon->stop(SIGTERM), 0);
  const auto log = readText(tmp / "daemon.log");
  EXPECT_NE(log.find(std::string(Admission::kNotAdmin) + "\n"), std::string::npos) << log;
  EXPECT_NE(log.find(std::string(Admission::kNoTeamID) + "\n"), std::string::npos) << log;
  EXPECT_EQ(doc(), kOriginal);
}

}  // namespace
}  // namespace kelvane
