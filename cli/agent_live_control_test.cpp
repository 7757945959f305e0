// The agent's control socket as its clients reach it: every operation, lines
// that are not requests, a line of a megabyte, a client of another user and
// clients that leave before their replies; the agent keeps answering and its
// support folder stays valid JSON.
#include <fstream>
#include <unistd.h>

#include <gtest/gtest.h>

#include "cli/control_client.h"
#include "cli/control_protocol.h"
#include "cli/testing/agent_rig.h"
#include "core/support/file_io.h"

namespace kelvane {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

constexpr const char* kClosedTab = "6f1c2a3b-4d5e-4f60-8a7b-9c0d1e2f3a4b";

class AgentLiveControl : public AgentRig {
 protected:
  void writeLines(const std::string& name, const std::vector<json>& lines) const {
    std::string text;
    for (const auto& line : lines) text += line.dump() + "\n";
    const auto file = data_ / name;
    std::ofstream(file) << text;
    (void)!::chown(file.c_str(), user_.uid, user_.gid);
  }
  std::string socket() const {
    return Control::socketPath(runtime_.string(), data_, user_.uid).value_or("");
  }
  // A client of the test user, as the commands are.
  std::optional<ControlClient> connect() const {
    const AsUser as(user_.uid, user_.gid);
    return ControlClient::connect(socket());
  }
  json ask(ControlClient& client, const json& request) {
    auto reply = client.request(request, 30s);
    return reply ? *reply : json{{"transport", reply.error()}};
  }
};

TEST_F(AgentLiveControl, AnswersEveryOperationAndSurvivesWhatClientsSend) {
  // Learning all week: a run records what it would do and touches nothing.
  prepare({{"learningUntil", (clockStart_ + 7 * 86400).iso8601()}});
  startAgent({"--tick", "0.5", "--no-disk-scan"});
  auto client = connect();
  ASSERT_TRUE(client) << log();

  struct Case {
    json request;
    std::string error;  // Empty: the reply is ok.
  };
  const std::vector<Case> cases = {
      {{{"op", "state"}}, ""},
      {{{"op", "runs"}}, ""},
      {{{"op", "pause"}, {"for", 3600}}, ""},
      {{{"op", "pause"}, {"for", -5}}, "\"for\" must be a number of seconds"},
      {{{"op", "pause"}, {"until", "2001-01-01T00:00:00Z"}}, "that moment has passed"},
      {{{"op", "resume"}}, ""},
      {{{"op", "cancelNextRun"}}, ""},
      {{{"op", "undoCancel"}}, ""},
      {{{"op", "skip"}, {"id", "nothing-planned"}}, "no action with the ID nothing-planned"},
      {{{"op", "unskip"}, {"id", 7}}, "\"id\" must be a text"},
      {{{"op", "queue"}, {"picks", {"process:1"}}}, ""},
      {{{"op", "unqueue"}, {"picks", {"process:1"}}}, ""},
      {{{"op", "queue"}, {"picks", {"window:x"}}}, "not a pick: window:x"},
      {{{"op", "keep"}, {"picks", json::array()}}, "\"picks\" must be a list of texts"},
      {{{"op", "actNow"}, {"picks", {"process:1"}}, {"quitNow", "yes"}},
       "\"quitNow\" must be true or false"},
      {{{"op", "confirmHeld"}}, "no run is held"},
      {{{"op", "discardHeld"}}, "no run is held"},
      {{{"op", "pauseDisk"}}, "no disk cleanup is running"},
      {{{"op", "resumeDisk"}}, "no disk cleanup is running"},
      {{{"op", "stopDisk"}}, "no disk cleanup is running"},
      {{{"op", "trashFiles"}, {"paths", {"/etc/passwd"}}},
       "not among the disk scan's suggestions: /etc/passwd"},
      {{{"op", "ignoreFiles"}, {"paths", {"relative/path"}}}, "not an absolute path"},
      {{{"op", "ignoreFiles"}, {"paths", {"/srv/big.iso"}}}, ""},
      {{{"op", "setDiskRules"}, {"rules", {"logs"}}, {"on", false}}, ""},
      {{{"op", "setDiskRules"}, {"rules", {"everything"}}, {"on", true}}, "not a disk rule"},
      {{{"op", "forgetClosedTabs"}, {"ids", {"not-an-id"}}}, "not a closed tab's ID"},
      {{{"op", "quietForToday"}, {"key", "pressure"}}, ""},
      {{{"op", "neverAlert"}, {"app", "org.example.Busy"}}, ""},
      {{{"op", "alertAgain"}, {"app", "org.example.Busy"}}, ""},
      {{{"op", "rescanDisk"}}, "does not scan the disk"},
      {{{"op", "runNow"}}, ""},
      {{{"op", "frobnicate"}}, "unknown operation: frobnicate"},
  };
  for (const auto& c : cases) {
    const json reply = ask(*client, c.request);
    if (c.error.empty()) {
      EXPECT_TRUE(reply.value("ok", false)) << c.request << " -> " << reply;
    } else {
      EXPECT_FALSE(reply.value("ok", true)) << c.request << " -> " << reply;
      EXPECT_NE(reply.value("error", "").find(c.error), std::string::npos)
          << c.request << " -> " << reply;
    }
  }

  // What the operations changed is in the state and the support folder.
  const json state = ask(*client, {{"op", "state"}});
  EXPECT_FALSE(state.value("paused", true));
  EXPECT_EQ(state.value("queued", json()), json::array());
  EXPECT_EQ(state["runs"].size(), 1u) << state["runs"];  // The run started by hand.
  const auto config =
      json::parse(readWholeFile(data_ / "config.json").value_or(""), nullptr, false);
  EXPECT_EQ(config.value("diskOff", json()), json::array({"logs"}));
  EXPECT_EQ(config.value("ignoredFiles", json()), json::array({"/srv/big.iso"}));

  // Lines that are not requests get an error and the connection stays.
  for (const std::string& line :
       std::vector<std::string>{"not json", "[1,2]", "{\"op\": 3}", std::string(1 << 20, 'x')}) {
    ASSERT_TRUE(client->sendRaw(line + "\n"));
    const auto reply = client->readLine(30s);
    ASSERT_TRUE(reply) << reply.error() << "\n" << log();
    EXPECT_FALSE(json::parse(*reply, nullptr, false).value("ok", true)) << *reply;
    EXPECT_TRUE(ask(*client, {{"op", "state"}}).value("ok", false)) << log();
  }

  // Clients that send many requests and leave before reading their replies.
  for (int i = 0; i < 20; ++i) {
    auto leaving = connect();
    ASSERT_TRUE(leaving);
    std::string burst;
    for (int j = 0; j < 50; ++j) burst += "{\"op\":\"state\"}\n";
    ASSERT_TRUE(leaving->sendRaw(burst));
  }

  // A process of another user gets nothing: root can reach the socket's file,
  // but the agent looks at who is on the other end.
  if (auto stranger = ControlClient::connect(socket())) {
    const auto reply = stranger->request({{"op", "endLearning"}}, 10s);
    EXPECT_TRUE(!reply || !reply->value("ok", false)) << *reply;
  }
  EXPECT_TRUE(ask(*client, {{"op", "state"}}).value("learning", false))
      << "a stranger ended learning";

  EXPECT_TRUE(agent_->running()) << log();
  EXPECT_EQ(stopAgent(), 0) << log();
  EXPECT_EQ(brokenDataFile(), std::nullopt);
}

TEST_F(AgentLiveControl, CommandsWorkOnTheFilesWhenNoAgentRunsAndTheAgentTakesThemOver) {
  prepare({{"learningUntil", (clockStart_ + 7 * 86400).iso8601()}});
  writeLines("closed-tabs.jsonl", {{{"id", kClosedTab},
                                    {"at", clockStart_.iso8601()},
                                    {"browser", "com.google.Chrome"},
                                    {"url", "https://example.test/"},
                                    {"title", "Example"}}});

  // No agent: what changes stored state works on the files, under the lock.
  const auto paused = kelvane({"pause", "2h"});
  EXPECT_EQ(paused.status, 0);
  EXPECT_NE(paused.out.find("Sweeps are paused"), std::string::npos) << paused.out;
  // What only an agent keeps is refused, saying how to start one.
  const auto skipped = kelvane({"skip", "abc"});
  EXPECT_EQ(skipped.status, 1);
  const auto sweep = kelvane({"sweep"});
  EXPECT_EQ(sweep.status, 0);
  EXPECT_NE(sweep.out.find("No agent runs on"), std::string::npos) << sweep.out;
  EXPECT_NE(sweep.out.find("Paused"), std::string::npos) << sweep.out;

  // The agent starts from the files the commands left.
  startAgent({"--tick", "0.5", "--no-disk-scan"});
  const json running = state();
  EXPECT_TRUE(running.value("paused", false)) << running;
  // Forgetting a closed tab goes through the agent, which keeps the log too.
  const auto forgot = kelvane({"tabs", "forget", kClosedTab});
  EXPECT_EQ(forgot.status, 0) << forgot.out << log();
  EXPECT_EQ(state().value("closedTabs", json()), json::array());
  EXPECT_EQ(readWholeFile(data_ / "closed-tabs.jsonl").value_or("?"), "");

  const auto resumed = kelvane({"resume", "--json"});
  EXPECT_EQ(resumed.status, 0);
  EXPECT_TRUE(json::parse(resumed.out, nullptr, false).value("ok", false)) << resumed.out;
  EXPECT_FALSE(state().value("paused", true));
  EXPECT_EQ(stopAgent(), 0) << log();
  EXPECT_EQ(brokenDataFile(), std::nullopt);
}

}  // namespace
}  // namespace kelvane
