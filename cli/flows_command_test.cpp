#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <stdio.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/support/testing/temp_dir.h"

namespace {

using ::testing::HasSubstr;

struct Output {
  int status = -1;
  std::string text;
};

// Runs a shell command line and captures its standard output.
Output runShell(const std::string& command) {
  Output out;
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.text.append(buffer, n);
  const int status = pclose(pipe);
  out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

// A Windows line end and a line that is not JSON among them; the second
// "ready" starts a new engine session whose IDs begin at 1 again.
const std::string kEvents = R"({"type":"ready","port":9091}
{"type":"request","id":1,"method":"GET","url":"http://api.test/a?x=1","version":"HTTP/1.1","at":100}
garbage
{"type":"response","id":1,"status":200,"body_b64":"aGVsbG8=","body_len":1500,"at":100.25})"
                            "\r\n"
                            R"({"type":"tunnel","id":2,"host":"secure.test","port":443}
{"type":"request","id":3,"method":"POST","url":"http://api.test/up","body_b64":"AAEC/w==","body_len":4}
{"type":"error","id":3,"message":"reset"}
{"type":"ready","port":9091}
{"type":"request","id":1,"method":"PUT","url":"http://two.test/","at":200}
)";

class FlowsCommand : public ::testing::Test {
 protected:
  void SetUp() override { std::ofstream(dir_ / "events.jsonl") << kEvents; }
  std::string events() const { return (dir_ / "events.jsonl").string(); }
  Output flows(const std::string& args) {
    return runShell(std::string(KELVANE_CLI_PATH) + " flows " + args + " 2>" +
                    (dir_ / "stderr").string());
  }
  std::string errors() const {
    std::ifstream in(dir_ / "stderr");
    return {std::istreambuf_iterator<char>(in), {}};
  }
  kelvane::TempDir tmp_;
  std::filesystem::path dir_ = tmp_.path();
};

TEST_F(FlowsCommand, ListsEachFlowOnceWithSessionsOffset) {
  const Output out = flows(events());
  EXPECT_EQ(out.status, 0);
  EXPECT_EQ(out.text,
            "     1  GET      200  api.test  /a?x=1  1.5 KB  250 ms\n"
            "     2  CONNECT    -  secure.test  -  0 B  -\n"
            "     3  POST     ERR  api.test  /up  4 B  -\n"
            "     4  PUT        -  two.test  /  0 B  -\n");
  EXPECT_EQ(errors(), "kelvane flows: skipped 1 unreadable line\n");
}

TEST_F(FlowsCommand, PrintsOneFlowAsCurlFetchOrRaw) {
  EXPECT_EQ(flows("--curl 1 " + events()).text, "curl -X 'GET' 'http://api.test/a?x=1'\n");
  EXPECT_THAT(flows("--fetch 3 " + events()).text,
              HasSubstr("\"body\": Uint8Array.from(atob(\"AAEC/w==\"), c => c.charCodeAt(0))"));
  const Output raw = flows("--raw 3 " + events());
  EXPECT_EQ(raw.status, 0);
  EXPECT_EQ(raw.text,
            "POST /up \nhost: api.test\n\n"
            "00000000  00 01 02 ff" +
                std::string(36, ' ') + "  ....\n\nerror: reset\n");
  const Output missing = flows("--curl 42 " + events());
  EXPECT_EQ(missing.status, 1);
  EXPECT_THAT(errors(), HasSubstr("kelvane flows: no flow with ID 42"));
}

TEST_F(FlowsCommand, WritesHarToAFileOrFromStandardInputWithTheFlowLimit) {
  const std::string har = (dir_ / "out.har").string();
  ASSERT_EQ(flows("--har " + har + " " + events()).status, 0);
  std::ifstream in(har);
  const auto doc = nlohmann::json::parse(in, nullptr, false);
  ASSERT_FALSE(doc.is_discarded());
  EXPECT_EQ(doc["log"]["version"], "1.2");
  EXPECT_EQ(doc["log"]["entries"].size(), 3u);  // The tunnel is left out.
  const Output out = flows("--max-flows 1 --har - - < " + events());
  EXPECT_EQ(out.status, 0);
  const auto last = nlohmann::json::parse(out.text, nullptr, false);
  ASSERT_FALSE(last.is_discarded()) << out.text;
  ASSERT_EQ(last["log"]["entries"].size(), 1u);
  EXPECT_EQ(last["log"]["entries"][0]["request"]["method"], "PUT");
  EXPECT_EQ(flows("--har /nonexistent/dir/out.har " + events()).status, 1);
  EXPECT_EQ(flows((dir_ / "missing.jsonl").string()).status, 1);
}

TEST_F(FlowsCommand, RefusesOptionsOutOfRangeAndInputsItCannotRead) {
  struct Case {
    const char* args;
    int status;
    const char* message;
  } cases[] = {
      {"--max-flows -9223372036854775807", 2, "--max-flows takes a whole number"},
      {"--max-flows 1.5", 2, "--max-flows takes a whole number"},
      {"--max-body-bytes -1", 2, "--max-body-bytes takes a byte count"},
      {"--max-body-bytes 9000000000GiB", 2, "--max-body-bytes takes a byte count"},
      {"--curl -1", 2, "--curl takes a flow ID from 0 to 18446744073709551615"},
      {"--raw 18446744073709551616", 2, "--raw takes a flow ID"},
      {"--fetch 0x10", 2, "--fetch takes a flow ID"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(flows(std::string(c.args) + " " + events()).status, c.status) << c.args;
    EXPECT_THAT(errors(), HasSubstr(c.message)) << c.args;
  }
  EXPECT_EQ(flows("--max-flows 0 --max-body-bytes 8MiB " + events()).status, 0);
  EXPECT_EQ(flows(dir_.string()).status, 1);
  EXPECT_EQ(errors(), "kelvane flows: cannot read " + dir_.string() + ": it is a folder\n");
}

// Two engine sessions stay apart even when the first names an ID near 2^64,
// and the IDs shown stay small.
TEST_F(FlowsCommand, SessionsNeverMergeInTheArchive) {
  std::ofstream(dir_ / "sessions.jsonl") << R"({"type":"ready","port":1}
{"type":"request","id":1,"method":"GET","url":"http://one.test/","at":100}
{"type":"response","id":1,"status":200,"at":100.1}
{"type":"error","id":18446744073709551615,"message":"unknown"}
{"type":"ready","port":1}
{"type":"request","id":2,"method":"GET","url":"http://two.test/","at":0.2}
)";
  const std::string input = (dir_ / "sessions.jsonl").string();
  EXPECT_EQ(flows(input).text,
            "     1  GET      200  one.test  /  0 B  100 ms\n"
            "     2  GET      ERR  -  -  0 B  -\n"
            "     3  GET        -  two.test  /  0 B  -\n");
  const auto har = nlohmann::json::parse(flows("--har - " + input).text);
  const auto& entries = har["log"]["entries"];
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1]["request"]["url"], "http://two.test/");
  EXPECT_EQ(entries[1]["response"]["status"], 0);
  EXPECT_EQ(entries[1]["time"], 0);
}

// A line longer than the cap is skipped and counted; the lines after it are read.
TEST_F(FlowsCommand, SkipsALineLongerThanTheCap) {
  {
    std::ofstream out(dir_ / "long.jsonl", std::ios::binary);
    out << R"({"type":"request","id":1,"method":"GET","url":"http://a.test/"})"
        << "\n";
    const std::string block(1 << 20, '[');
    for (int i = 0; i < 65; ++i) out << block;
    out << "\n"
        << R"({"type":"request","id":2,"method":"GET","url":"http://b.test/"})"
        << "\n";
  }
  const Output out = flows((dir_ / "long.jsonl").string());
  EXPECT_EQ(out.status, 0);
  EXPECT_THAT(out.text, HasSubstr("a.test"));
  EXPECT_THAT(out.text, HasSubstr("b.test"));
  EXPECT_EQ(errors(), "kelvane flows: skipped 1 unreadable line\n");
}

TEST_F(FlowsCommand, RefusesACurlCommandThatCannotCarryTheRequest) {
  std::ofstream(dir_ / "nul.jsonl")
      << R"({"type":"request","id":1,"method":"GET","url":"http://a/","headers":[["X","a\u0000b"]]})"
      << "\n";
  const Output out = flows("--curl 1 " + (dir_ / "nul.jsonl").string());
  EXPECT_EQ(out.status, 1);
  EXPECT_EQ(out.text, "");
  EXPECT_EQ(errors(),
            "kelvane flows: flow 1 cannot be replayed with curl: its header \"X\" holds a NUL "
            "byte\n");
}

// On a live pipe each flow is printed as soon as it completes, while the
// engine is still writing.
TEST_F(FlowsCommand, PrintsFlowsAsTheyCompleteOnALivePipe) {
  const auto fifo = dir_ / "events.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  FILE* listing =
      popen((std::string(KELVANE_CLI_PATH) + " flows - < " + fifo.string()).c_str(), "r");
  ASSERT_NE(listing, nullptr);
  const int engine = open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(engine, 0);
  const std::string events =
      R"({"type":"request","id":7,"method":"GET","url":"http://live.test/","at":1})"
      "\n"
      R"({"type":"response","id":7,"status":204,"at":1.5})"
      "\n";
  ASSERT_EQ(write(engine, events.data(), events.size()), ssize_t(events.size()));
  pollfd ready{fileno(listing), POLLIN, 0};
  EXPECT_EQ(poll(&ready, 1, 20000), 1);  // Not waiting for the end of the input.
  char line[256] = {};
  if (ready.revents & POLLIN) {
    EXPECT_NE(fgets(line, sizeof line, listing), nullptr);
  }
  close(engine);
  EXPECT_EQ(std::string(line), "     1  GET      204  live.test  /  0 B  500 ms\n");
  EXPECT_EQ(pclose(listing), 0);
}

}  // namespace
