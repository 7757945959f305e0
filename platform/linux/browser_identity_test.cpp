#include "platform/linux/browser_identity.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(ChromiumBrowser, IsToldByItsExecutable) {
  const ChromiumBrowser chromium{"com.google.Chrome", "chromium"};
  EXPECT_EQ(chromiumBrowser("/usr/lib/chromium/chromium"), chromium);
  EXPECT_EQ(chromiumBrowser("/usr/lib/chromium/chromium (deleted)"), chromium);  // upgraded
  EXPECT_EQ(chromiumBrowser("/opt/google/chrome/chrome"),
            (ChromiumBrowser{"com.google.Chrome", "google-chrome"}));
  EXPECT_EQ(chromiumBrowser("/opt/google/chrome-unstable/chrome"),
            (ChromiumBrowser{"com.google.Chrome.canary", "google-chrome-unstable"}));
  EXPECT_EQ(chromiumBrowser("/usr/bin/chromium"), std::nullopt);  // the launcher script
  EXPECT_EQ(chromiumBrowser("/usr/lib/chromium/chrome_crashpad_handler"), std::nullopt);
  EXPECT_EQ(chromiumBrowser("/home/me/usr/lib/chromium/chromium"), std::nullopt);
  EXPECT_EQ(chromiumBrowser(""), std::nullopt);
}

TEST(ChromiumBrowser, OnlyTheProcessThatStartedTheOthersIsTheBrowser) {
  const std::string exe = "/usr/lib/chromium/chromium";
  const std::vector<Proc> procs{
      {.pid = 10, .ppid = 1, .path = exe},              // the browser
      {.pid = 11, .ppid = 10, .path = exe},             // its zygote
      {.pid = 12, .ppid = 11, .path = exe},             // a renderer
      {.pid = 13, .ppid = 10, .path = "/usr/bin/cat"},  // another program it started
      {.pid = 20, .ppid = 13, .path = exe},             // a browser that program started
      {.pid = 30, .ppid = 999, .path = exe},            // parent not listed
  };
  std::vector<int32_t> browsers;
  for (const Proc* p : browserProcesses(procs)) browsers.push_back(p->pid);
  EXPECT_EQ(browsers, (std::vector<int32_t>{10, 20, 30}));
  EXPECT_FALSE(isBrowserProcess({exe, "--type=renderer", "--lang=en"}));
  EXPECT_TRUE(isBrowserProcess({exe, "--user-data-dir=/tmp/x"}));
  EXPECT_TRUE(isBrowserProcess({}));  // gone: may have been the browser
}

}  // namespace
}  // namespace kelvane
