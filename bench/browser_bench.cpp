// The browser part of one snapshot: every tab of a real headless browser with
// 200 open tabs in 10 windows, read through its DevTools endpoint, with their
// windows, positions, front window and profile.
#include <chrono>
#include <cstdlib>
#include <thread>

#include <benchmark/benchmark.h>

#include "platform/linux/browser_source.h"
#include "platform/linux/testing/browser_process.h"
#include "platform/linux/testing/http_server.h"

namespace kelvane {
namespace {

constexpr int kWindows = 10;
constexpr int kTabsPerWindow = 20;

void BM_ReadBrowserTabs(benchmark::State& state) {
  testing::HttpServer server([](const std::string& path) {
    return testing::HttpReply::html("<title>Page" + path + "</title>");
  });
  const testing::TestBrowser browser(
      R"({"profile": {"info_cache": {"Default": {"name": "Work"}}, "last_active_profiles": ["Default"]}})");
  if (!browser.error().empty()) {
    state.SkipWithError(browser.error().c_str());
    return;
  }
  const std::string base = "http://127.0.0.1:" + std::to_string(server.port()) + "/";
  for (int w = 0; w < kWindows; ++w)
    for (int t = 0; t < kTabsPerWindow; ++t) {
      const auto opened = browser.call("Target.createTarget",
                                       {{"url", base + std::to_string(w) + "-" + std::to_string(t)},
                                        {"newWindow", t == 0},
                                        {"background", t > 0}});
      if (!opened) {
        state.SkipWithError(opened.error().c_str());
        return;
      }
    }
  for (int wait = 0; wait < 600 && browser.tabs().size() <= kWindows * kTabsPerWindow; ++wait)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const BrowserSource source(browser.access());
  const std::vector<Proc> procs{browser.proc()};
  size_t tabs = 0;
  for (auto _ : state) {
    const BrowserView view = source.read(procs, {});
    tabs = view.tabs.size();
    benchmark::DoNotOptimize(view);
  }
  state.counters["tabs"] = static_cast<double>(tabs);
}
BENCHMARK(BM_ReadBrowserTabs)->Unit(benchmark::kMillisecond)->MinTime(2);

}  // namespace
}  // namespace kelvane
