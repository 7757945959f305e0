#include "core/proxy/flow_export.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdlib.h>
#include <sys/wait.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kelvane {
namespace {

using nlohmann::json;

std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

Flow httpFlow(std::string method, std::string url, std::vector<ProxyHeader> headers,
              std::vector<uint8_t> body) {
  Flow flow;
  flow.url = url;
  flow.started = Date::fromUnix(1767323045.678);  // 2026-01-02T03:04:05.678Z
  const auto length = int64_t(body.size());
  // clang-format off
  flow.request = ProxyRequest{1, std::nullopt, "", std::move(method), std::move(url), "HTTP/1.1",
                              std::move(headers), std::move(body), length, false, Date()};
  // clang-format on
  return flow;
}

// Checks the members and types HAR 1.2 requires of a log and its entries.
// clang-format off
void expectHarStructure(const json& doc) {
  using Check = bool (json::*)() const noexcept;
  const auto expect = [](const json& j, std::initializer_list<std::pair<const char*, Check>> members) {
    for (const auto& [name, check] : members)
      EXPECT_TRUE(j.contains(name) && (j[name].*check)()) << name << " in " << j.dump();
  };
  const Check str = &json::is_string, num = &json::is_number, integer = &json::is_number_integer,
              array = &json::is_array, object = &json::is_object;
  const json& log = doc.at("log");
  expect(log, {{"version", str}, {"creator", object}, {"entries", array}});
  expect(log["creator"], {{"name", str}, {"version", str}});
  for (const json& e : log["entries"]) {
    expect(e, {{"startedDateTime", str}, {"time", num}, {"request", object}, {"response", object},
               {"cache", object}, {"timings", object}});
    expect(e["timings"], {{"send", num}, {"wait", num}, {"receive", num}});
    expect(e["request"], {{"method", str}, {"url", str}, {"httpVersion", str}, {"cookies", array},
                          {"headers", array}, {"queryString", array}, {"headersSize", integer},
                          {"bodySize", integer}});
    expect(e["response"], {{"status", integer}, {"statusText", str}, {"httpVersion", str},
                           {"cookies", array}, {"headers", array}, {"content", object},
                           {"redirectURL", str}, {"headersSize", integer}, {"bodySize", integer}});
    expect(e["response"]["content"], {{"size", integer}, {"mimeType", str}});
    if (e["request"].contains("postData"))
      expect(e["request"]["postData"], {{"mimeType", str}, {"text", str}});
    for (const json* list : {&e["request"]["headers"], &e["request"]["cookies"],
                             &e["request"]["queryString"], &e["response"]["headers"]})
      for (const json& item : *list) expect(item, {{"name", str}, {"value", str}});
  }
}
// clang-format on

json harOf(const std::vector<Flow>& flows) {
  const auto out = HAR::exportFlows(flows, "2.3");
  return json::parse(out.begin(), out.end());
}

TEST(HarExport, WritesAValidArchiveOfRequestsOnly) {
  Flow done = httpFlow("POST", "http://h/p?q=1&r", {{"Cookie", "a=1"}, {"Content-Type", "text/x"}},
                       bytes("hello"));
  const ProxyResponse response{1,
                               201,
                               "HTTP/1.1",
                               {{"Set-Cookie", "s=2; Path=/"}, {"Content-Type", "image/png"}},
                               {0x89, 0x50, 0xFF},
                               3000,
                               false,
                               done.started + 0.25};
  done.response = response;
  Flow pending = httpFlow("PUT", "http://h/x", {}, {0x00, 0xFF, 0x10});
  Flow tunnel;
  tunnel.kind = Flow::Kind::tunnel;
  Flow placeholder;  // A response whose request never came.
  placeholder.response = response;

  const json doc = harOf({done, tunnel, pending, placeholder});
  expectHarStructure(doc);
  const json& entries = doc["log"]["entries"];
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(doc["log"]["creator"], (json{{"name", "Kelvane"}, {"version", "2.3"}}));
  const json& first = entries[0];
  EXPECT_EQ(first["startedDateTime"], "2026-01-02T03:04:05.678Z");
  EXPECT_NEAR(first["time"].get<double>(), 250, 1e-6);
  EXPECT_EQ(first["request"]["queryString"],
            (json{{{"name", "q"}, {"value", "1"}}, {{"name", "r"}, {"value", ""}}}));
  EXPECT_EQ(first["request"]["cookies"], (json{{{"name", "a"}, {"value", "1"}}}));
  EXPECT_EQ(first["request"]["postData"], (json{{"mimeType", "text/x"}, {"text", "hello"}}));
  EXPECT_EQ(first["response"]["cookies"], (json{{{"name", "s"}, {"value", "2"}}}));
  EXPECT_EQ(
      first["response"]["content"],
      (json{{"size", 3000}, {"mimeType", "image/png"}, {"text", "iVD/"}, {"encoding", "base64"}}));
  const json& second = entries[1];
  EXPECT_EQ(second["request"]["postData"]["mimeType"], "application/octet-stream");
  EXPECT_EQ(second["request"]["postData"]["encoding"], "base64");
  EXPECT_EQ(second["response"]["status"], 0);
  EXPECT_EQ(second["time"], 0);
  EXPECT_EQ(second["response"]["bodySize"], -1);
  EXPECT_EQ(second["response"]["content"], (json{{"size", 0}, {"mimeType", ""}}));

  EXPECT_FALSE(
      harOf({httpFlow("GET", "http://h/", {}, {})})["log"]["entries"][0]["request"].contains(
          "postData"));
  EXPECT_EQ(harOf({tunnel, tunnel})["log"]["entries"], json::array());
}

// The archive is written entry by entry; its text must still be exactly the
// document a JSON writer gives, empty or not.
TEST(HarExport, StreamedTextIsTheWholeDocumentsText) {
  Flow flow = httpFlow("POST", "http://h/p?q=1", {{"A", "b\nc"}}, bytes("x\"y"));
  flow.response = ProxyResponse{1, 200, "HTTP/1.1", {}, bytes("{}"), 2, false, flow.started};
  for (const auto& flows : {std::vector<Flow>{}, std::vector<Flow>{flow, flow}}) {
    const auto out = HAR::exportFlows(flows, "v\"1");
    const std::string text(out.begin(), out.end());
    EXPECT_EQ(text, json::parse(text).dump(2)) << text;
  }
}

// Moments a HAR date cannot hold are clamped into the years 0001 to 9999, and
// a response stamped before its request took no time.
TEST(HarExport, DatesStayWithinWhatHarHoldsAndTimesAreNeverNegative) {
  const auto entry = [](double startedUnix, double respondedUnix) {
    Flow flow = httpFlow("GET", "http://h/", {}, {});
    flow.started = Date::fromUnix(startedUnix);
    flow.response = ProxyResponse{1, 200, "", {}, {}, 0, false, Date::fromUnix(respondedUnix)};
    const json doc = harOf({flow});
    expectHarStructure(doc);
    return doc["log"]["entries"][0];
  };
  struct Case {
    double started, responded;
    const char* date;
    double time;
  } cases[] = {
      {1e20, 1e20, "9999-12-31T23:59:59.999Z", 0},
      {253402300800, 253402300801, "9999-12-31T23:59:59.999Z", 0},
      {1.79e308, 1.79e308, "9999-12-31T23:59:59.999Z", 0},
      {-1e20, 0, "0001-01-01T00:00:00.000Z", 62135596800000.0},
      {-62135596800, -62135596799.5, "0001-01-01T00:00:00.000Z", 500},
      {10, 9.5, "1970-01-01T00:00:10.000Z", 0},
      {std::nan(""), 1, "1970-01-01T00:00:00.000Z", 1000},
  };
  for (const auto& c : cases) {
    const json e = entry(c.started, c.responded);
    EXPECT_EQ(e["startedDateTime"], c.date) << c.started;
    EXPECT_EQ(e["time"].get<double>(), c.time) << c.started;
    EXPECT_EQ(e["timings"]["wait"].get<double>(), c.time) << c.started;
  }
}

TEST(CurlCommand, QuotesAndFiltersHeaders) {
  const Flow flow =
      httpFlow("POST", "http://h/it's",
               {{":method", "POST"}, {"HOST", "h"}, {"Content-Length", "2"}, {"X-Note", "o'k"}},
               bytes("a'b"));
  EXPECT_EQ(Curl::command(flow),
            "curl -X 'POST' 'http://h/it'\\''s' -H 'X-Note: o'\\''k' --data-raw 'a'\\''b'");
  Flow tunnel;
  tunnel.url = "h:443";
  EXPECT_EQ(Curl::command(tunnel), "curl 'h:443'");
}

class ShellDir : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (std::filesystem::temp_directory_path() / "kelvane-curl-XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir_ = templ;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::filesystem::path write(const std::string& name, const std::string& text) {
    std::filesystem::create_directories((dir_ / name).parent_path());
    std::ofstream(dir_ / name, std::ios::binary) << text;
    return dir_ / name;
  }
  std::string read(const std::string& name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  int sh(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::filesystem::path dir_;
};

TEST_F(ShellDir, BinaryCurlBodyComesBackThroughTheShell) {
  std::vector<uint8_t> body;
  for (int i = 0; i < 300; ++i) body.push_back(uint8_t(i * 7));
  body[3] = '\'';
  const Flow flow = httpFlow("POST", "http://h/up?a='1'", {{"Content-Type", "a/b"}}, body);
  const std::string command = Curl::command(flow);
  ASSERT_TRUE(command.starts_with("printf %s '")) << command;
  ASSERT_NE(command.find("--data-binary @-"), std::string::npos);

  const auto script = write("cmd.sh", command + "\n");
  EXPECT_EQ(sh("sh -n " + script.string()), 0);
  const std::string decoder = command.substr(0, command.find(" | curl "));
  write("decode.sh", decoder + " > " + (dir_ / "body").string() + "\n");
  ASSERT_EQ(sh("sh " + (dir_ / "decode.sh").string()), 0);
  EXPECT_EQ(read("body"), std::string(body.begin(), body.end()));

  // The whole line, with curl standing in as a shell function: the words it
  // receives are the ones that were quoted.
  write("run.sh", "curl() { printf '%s\\n' \"$@\" > " + (dir_ / "args").string() + "; cat > " +
                      (dir_ / "stdin").string() + "; }\n" + command + "\n");
  ASSERT_EQ(sh("sh " + (dir_ / "run.sh").string()), 0);
  EXPECT_EQ(read("args"),
            "-X\nPOST\nhttp://h/up?a='1'\n-H\nContent-Type: a/b\n--data-binary\n@-\n");
  EXPECT_EQ(read("stdin"), std::string(body.begin(), body.end()));
}

// Every command runs in bash against a curl that is a real program (so the
// system's argument limits apply) and hands it exactly the captured request.
TEST_F(ShellDir, CurlCommandsRunAndCarryTheRequestExactly) {
  write("bin/curl", "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\"; done > " +
                        (dir_ / "args").string() + "\ncat > " + (dir_ / "stdin").string() + "\n");
  std::filesystem::permissions(dir_ / "bin/curl", std::filesystem::perms::owner_all);
  const auto run = [&](const Flow& flow) {
    write("run.sh", Curl::command(flow) + "\n");
    std::filesystem::remove(dir_ / "args");
    return sh("PATH=" + (dir_ / "bin").string() + ":$PATH bash " + (dir_ / "run.sh").string() +
              " < /dev/null");
  };
  // A text body over the 128 KiB a single argument may hold.
  const std::string big(200 * 1024, 'a');
  ASSERT_EQ(run(httpFlow("POST", "http://h/up", {}, bytes(big))), 0);
  EXPECT_EQ(read("args"), "-X\nPOST\nhttp://h/up\n--data-binary\n@-\n");
  EXPECT_EQ(read("stdin"), big);
  // Brackets are not curl's globs, spaces are encoded, an empty header is sent empty.
  ASSERT_EQ(run(httpFlow("GET", "http://h/a b?f[x]=1", {{"X-Empty", ""}, {"A", "1"}}, {})), 0);
  EXPECT_EQ(read("args"), "-g\n-X\nGET\nhttp://h/a%20b?f%5Bx%5D=1\n-H\nX-Empty;\n-H\nA: 1\n");
  // A NUL byte no argument can hold: the command says so and runs nothing.
  const Flow nul = httpFlow("GET", "http://h/", {{"X-Bad", std::string("a\0b", 3)}}, {});
  EXPECT_EQ(Curl::cannotCarry(nul), "its header \"X-Bad\" holds a NUL byte");
  EXPECT_EQ(Curl::command(nul),
            "# This request cannot be replayed with curl: its header \"X-Bad\" holds a NUL byte.");
  EXPECT_EQ(run(nul), 0);
  EXPECT_FALSE(std::filesystem::exists(dir_ / "args"));
  // A header longer than one argument may be is refused the same way.
  const Flow huge = httpFlow("GET", "http://h/", {{"X-Big", std::string(130 * 1024, 'b')}}, {});
  EXPECT_TRUE(Curl::cannotCarry(huge));
  EXPECT_EQ(Curl::cannotCarry(httpFlow("GET", "http://h/", {{"X", "y"}}, bytes(big))),
            std::nullopt);
}

TEST(FetchCommand, CombinesHeadersAndPicksTheBody) {
  // clang-format off
  const Flow get = httpFlow("GET", "http://h/a/b", {{"Accept", "text/html"}, {"Host", "h"},
      {"accept", "*/*"}, {"Referer", "http://r/"}, {"Cookie", "a=1"}, {"Connection", "close"},
      {":path", "/"}}, bytes("ignored"));
  // clang-format on
  EXPECT_EQ(Fetch::command(get),
            "fetch(\"http://h/a/b\", {\n"
            "  \"headers\": { \"accept\": \"text/html, */*\" },\n"
            "  \"referrer\": \"http://r/\",\n"
            "  \"method\": \"GET\",\n"
            "  \"credentials\": \"include\"\n"
            "});");
  EXPECT_EQ(Fetch::command(httpFlow("post", "http://h/", {}, bytes("say \"hi\"\n"))),
            "fetch(\"http://h/\", {\n  \"headers\": {},\n  \"body\": \"say \\\"hi\\\"\\n\",\n"
            "  \"method\": \"post\",\n  \"credentials\": \"omit\"\n});");
  const std::string binary = Fetch::command(httpFlow("PUT", "http://h/", {}, {0, 1, 2}));
  EXPECT_NE(binary.find("  \"body\": Uint8Array.from(atob(\"AAEC\"), c => c.charCodeAt(0)),\n"),
            std::string::npos);
  Flow tunnel;  // No request: a bare fetch of the address.
  tunnel.url = "h:443";
  EXPECT_EQ(Fetch::command(tunnel), "fetch(\"h:443\");");
}

TEST(ProxyEnvExports, QuotesThePaths) {
  EXPECT_EQ(ProxyEnv::exports(9091, "/ca dir/ca.pem", "/b'c.pem"),
            "export HTTP_PROXY=http://127.0.0.1:9091 HTTPS_PROXY=http://127.0.0.1:9091 "
            "http_proxy=http://127.0.0.1:9091 https_proxy=http://127.0.0.1:9091 "
            "NODE_EXTRA_CA_CERTS='/ca dir/ca.pem' SSL_CERT_FILE='/b'\\''c.pem' "
            "REQUESTS_CA_BUNDLE='/b'\\''c.pem' CURL_CA_BUNDLE='/b'\\''c.pem'");
}

}  // namespace
}  // namespace kelvane
