#include "platform/linux/browser_source.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/support/testing/temp_dir.h"
#include "platform/linux/testing/browser_printers.h"
#include "platform/linux/testing/browser_process.h"
#include "platform/linux/testing/http_server.h"

namespace kelvane {
namespace {

using testing::HttpReply;
using testing::HttpServer;
using testing::TestBrowser;

constexpr const char* kChromeID = "com.google.Chrome";

// A browser played by this test process: its user-data folder names the port
// of a fake endpoint, and the process record says whose it is and what it
// listens on.
struct FakeBrowser {
  TempDir dir;
  Proc proc;
  BrowserAccess access;

  explicit FakeBrowser(uint16_t port) {
    std::ofstream(dir.path() / "DevToolsActivePort") << port << "\n/devtools/browser/abc-1";
    proc = Proc{.pid = ::getpid(),
                .uid = static_cast<uint32_t>(::getuid()),
                .name = "chromium",
                .path = TestBrowser::kExecutable,
                .listenPorts = {port},
                .bundleID = kChromeID};
    access = BrowserAccess{.me = proc.uid, .timeout = 0.5};
    access.args = [dataDir = dir.path().string()](int32_t) {
      return std::vector<std::string>{"chromium", "--user-data-dir=" + dataDir};
    };
  }
  BrowserView read() const { return BrowserSource(access).read({proc}, {}); }
};

const BrowserView kDenied{.automationDenied = {kChromeID}};

TEST(BrowserSource, AnEndpointThatMayNotBeUsedIsNeverContacted) {
  HttpServer server([](const std::string&) { return HttpReply::json("[]"); });
  FakeBrowser other(server.port());
  other.proc.uid += 1;  // Another user's browser is not even looked at.
  EXPECT_EQ(other.read(), BrowserView{});
  FakeBrowser elsewhere(server.port());
  elsewhere.proc.listenPorts = {9};  // The port is not the browser's own.
  EXPECT_EQ(elsewhere.read(), kDenied);
  FakeBrowser exposed(server.port());
  exposed.proc.exposedPorts = std::vector<uint16_t>{server.port()};  // Bound beyond loopback.
  EXPECT_EQ(exposed.read(), kDenied);
  FakeBrowser configured(server.port());
  configured.access.ports[kChromeID] = 9;  // The configuration names a port it does not listen on.
  EXPECT_EQ(configured.read(), kDenied);
  EXPECT_EQ(server.connections(), 0);
}

TEST(BrowserSource, AVersionAnswerNamingAnotherHostIsNotFollowed) {
  std::string version;
  HttpServer server([&](const std::string& path) {
    return path == "/json/version" ? HttpReply::json(version) : HttpReply::drop();
  });
  FakeBrowser browser(server.port());
  browser.access.ports[kChromeID] =
      server.port();  // No port file path: it is asked of the endpoint.
  const std::string elsewhere = "ws://10.0.0.7:" + std::to_string(server.port());
  for (const std::string& url :
       {elsewhere + "/devtools/browser/x", std::string("ws://127.0.0.1:1/devtools/browser/x"),
        std::string("ws://127.0.0.1")}) {
    version = R"({"webSocketDebuggerUrl": ")" + url + "\"}";
    EXPECT_EQ(browser.read(), kDenied) << url;
  }
  EXPECT_EQ(server.connections(), 3);  // The version requests, and nothing more.
}

TEST(BrowserSource, ABrokenEndpointCostsOnlyThatBrowsersTabs) {
  struct Case {
    const char* what;
    HttpReply list;    // The answer to /json/list.
    HttpReply socket;  // The answer to the WebSocket upgrade.
  };
  const Case cases[] = {
      {"hangs", HttpReply::hang(), HttpReply::hang()},
      {"answers malformed JSON", HttpReply::json(R"([{"id": "A", "type": "page")"),
       HttpReply::drop()},
      {"answers a list that is no list", HttpReply::json(R"({"id": "A"})"), HttpReply::drop()},
      {"dies after listing its pages", HttpReply::json(R"([{"id": "A", "type": "page"}])"),
       HttpReply::drop()},
      {"hangs after listing its pages", HttpReply::json("[]"), HttpReply::hang()},
      {"answers 500", HttpReply{.status = 500}, HttpReply::drop()},
  };
  for (const Case& c : cases) {
    HttpServer server(
        [&](const std::string& path) { return path == "/json/list" ? c.list : c.socket; });
    FakeBrowser browser(server.port());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(browser.read(), kDenied) << c.what;
    // Time-outs bound the read: a hanging browser never holds the snapshot up.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.what;
  }
}

TEST(BrowserSource, WithoutAPortFileOrAUsableOneTheBrowserIsDenied) {
  for (const char* text : {"", "not a port\n/devtools/browser/x", "70000\n", "0"}) {
    FakeBrowser browser(9);
    std::ofstream(browser.dir.path() / "DevToolsActivePort") << text;
    EXPECT_EQ(browser.read(), kDenied) << text;
  }
  FakeBrowser fifo(9);  // Reading it must not wait for a writer.
  std::filesystem::remove(fifo.dir.path() / "DevToolsActivePort");
  ASSERT_EQ(::mkfifo((fifo.dir.path() / "DevToolsActivePort").c_str(), 0600), 0);
  EXPECT_EQ(fifo.read(), kDenied);
  FakeBrowser missing(9);
  std::filesystem::remove(missing.dir.path() / "DevToolsActivePort");
  EXPECT_EQ(missing.read(), kDenied);
  FakeBrowser helper(9);
  helper.access.args = [](int32_t) { return std::vector<std::string>{"chromium", "--type=gpu"}; };
  EXPECT_EQ(helper.read(), BrowserView{});  // A helper process is not the browser.
}

// A real browser with pages of a loopback server, its profile named "Work".
class RealBrowser : public ::testing::Test {
 protected:
  RealBrowser()
      : server_([](const std::string& path) {
          return HttpReply::html("<html><head><title>Page " + path.substr(path.empty() ? 0 : 1) +
                                 "</title></head><body></body></html>");
        }),
        browser_(R"({"profile": {"info_cache": {"Default": {"name": "Work",
                     "is_using_default_name": false}}, "last_active_profiles": ["Default"]}})") {}
  void SetUp() override { ASSERT_TRUE(browser_.error().empty()) << browser_.error(); }

  std::string page(int n) const {
    return "http://127.0.0.1:" + std::to_string(server_.port()) + "/" + std::to_string(n);
  }
  BrowserView read(const std::vector<WindowInfo>& windows = {}) const {
    return BrowserSource(browser_.access()).read({browser_.proc()}, windows);
  }

  HttpServer server_;
  TestBrowser browser_;
};

const BrowserTab* tabWithURL(const BrowserView& view, const std::string& url) {
  const auto it = std::find_if(view.tabs.begin(), view.tabs.end(),
                               [&](const BrowserTab& t) { return t.url == url; });
  return it == view.tabs.end() ? nullptr : &*it;
}

TEST_F(RealBrowser, SeesEveryTabWithItsWindowPlaceFrontAndProfile) {
  const TabTarget one = browser_.open(page(1), /*newWindow=*/true);
  const TabTarget two = browser_.open(page(2), false, /*background=*/true);
  const TabTarget three = browser_.open(page(3), /*newWindow=*/true);
  ASSERT_FALSE(one.id.empty() || two.id.empty() || three.id.empty());
  // The window where a tab was last brought forward is the front one.
  ASSERT_TRUE(browser_.activate(page(2)));

  const BrowserView view = read();
  EXPECT_TRUE(view.automationDenied.empty());
  const BrowserTab* first = tabWithURL(view, page(1));
  const BrowserTab* second = tabWithURL(view, page(2));
  const BrowserTab* third = tabWithURL(view, page(3));
  ASSERT_TRUE(first && second && third);
  const BrowserProfile work{"Default", "Work"};
  EXPECT_EQ(*first, (BrowserTab{.browser = kChromeID,
                                .windowID = first->windowID,
                                .tabID = one.id,
                                .index = 0,
                                .url = page(1),
                                .title = "Page 1",
                                .active = false,
                                .front = true,
                                .profile = work}));
  EXPECT_EQ(*second, (BrowserTab{.browser = kChromeID,
                                 .windowID = first->windowID,
                                 .tabID = two.id,
                                 .index = 1,
                                 .url = page(2),
                                 .title = "Page 2",
                                 .active = true,
                                 .front = true,
                                 .profile = work}));
  EXPECT_NE(third->windowID, first->windowID);
  EXPECT_TRUE(third->active);
  EXPECT_FALSE(third->front);
  EXPECT_EQ(view.tabs.size(), 4u);            // With the blank tab the browser started with.
  EXPECT_EQ(view.tabs.front(), *first);       // The front window comes first.
  EXPECT_TRUE(view.browserWindowOf.empty());  // No system windows were given.
}

TEST_F(RealBrowser, MatchesSystemWindowsAndTellsProfilesByTheirTitles) {
  const TabTarget one = browser_.open(page(1), /*newWindow=*/true);
  const TabTarget three = browser_.open(page(3), /*newWindow=*/true);
  // A second browser context, as a second profile would have, in a window of its own.
  const auto context = browser_.call("Target.createBrowserContext", nlohmann::json::object());
  ASSERT_TRUE(context);
  ASSERT_TRUE(browser_.call("Target.createTarget",
                            {{"url", page(4)},
                             {"newWindow", true},
                             {"browserContextId", context->at("browserContextId")}}));
  auto connection = browser_.connect();
  ASSERT_TRUE(connection);
  const auto seen = connection.value().tabs(false);
  ASSERT_TRUE(seen);
  const auto windowOf = [&](const std::string& id) {
    const auto it = std::find_if(seen->tabs.begin(), seen->tabs.end(),
                                 [&](const TabTarget& t) { return t.id == id; });
    return it == seen->tabs.end() ? int64_t{-1} : it->windowID;
  };
  const int64_t a = windowOf(one.id), b = windowOf(three.id);
  ASSERT_TRUE(seen->windows.contains(a) && seen->windows.contains(b));
  const int32_t pid = browser_.pid();
  // Front to back: the window of page 1 is on top, whatever the browser last showed.
  const std::vector<WindowInfo> system{
      {.id = 13, .pid = pid + 1, .title = "Page 1 - Chromium", .frame = seen->windows.at(a)},
      {.id = 11, .pid = pid, .title = "Page 1 - Chromium - Work", .frame = seen->windows.at(a)},
      {.id = 12, .pid = pid, .title = "Page 3 - Chromium - Work", .frame = seen->windows.at(b)},
  };
  const BrowserView view = read(system);
  EXPECT_EQ(view.browserWindowOf, (std::map<uint32_t, BrowserWindow>{
                                      {11, {kChromeID, a, seen->windows.at(a), "Page 1"}},
                                      {12, {kChromeID, b, seen->windows.at(b), "Page 3"}}}));
  const BrowserTab* first = tabWithURL(view, page(1));
  const BrowserTab* third = tabWithURL(view, page(3));
  const BrowserTab* other = tabWithURL(view, page(4));
  ASSERT_TRUE(first && third && other);
  EXPECT_TRUE(first->front);
  EXPECT_FALSE(third->front);
  EXPECT_EQ(third->profile, (BrowserProfile{"Default", "Work"}));
  EXPECT_EQ(other->profile, std::nullopt);  // Its context is no profile the browser records.
}

TEST_F(RealBrowser, ABrowserThatIsGoneIsDeniedWithoutWaiting) {
  browser_.kill();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(BrowserSource(browser_.access(/*timeout=*/30)).read({browser_.proc()}, {}), kDenied);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
}  // namespace kelvane
