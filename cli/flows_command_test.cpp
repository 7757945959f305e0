#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdio.h>
#include <string>
#include <sys/wait.h>

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
  EXPECT_EQ(errors(), "kelvane flows: skipped 1 unreadable lines\n");
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

}  // namespace
