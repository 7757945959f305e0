#pragma once
// A Chrome tab for the planners' tests.
#include <cstdint>
#include <string>

#include "core/model/browser_tab.h"

namespace kelvane::testing {

inline constexpr const char* kChrome = "com.google.Chrome";

// A tab of Chrome's browser window `window`.
inline BrowserTab chromeTab(int64_t window, std::string url, std::string title,
                            bool active = false) {
  return BrowserTab{.browser = kChrome,
                    .windowID = window,
                    .url = std::move(url),
                    .title = std::move(title),
                    .active = active};
}

}  // namespace kelvane::testing
