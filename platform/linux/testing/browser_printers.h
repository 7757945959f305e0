#pragma once
// Test failure messages show browser records as their JSON.
#include <ostream>

#include <nlohmann/json.hpp>

#include "core/model/browser_tab.h"
#include "core/model/browser_window.h"
#include "core/model/proc.h"
#include "platform/linux/desktop_view.h"

namespace kelvane {

inline void PrintTo(const BrowserTab& tab, std::ostream* out) {
  *out << nlohmann::json(tab).dump();
}
inline void PrintTo(const Proc& proc, std::ostream* out) { *out << nlohmann::json(proc).dump(); }
inline void PrintTo(const BrowserWindow& window, std::ostream* out) {
  *out << nlohmann::json(window).dump();
}
inline void PrintTo(const BrowserView& view, std::ostream* out) {
  nlohmann::json windows = nlohmann::json::object();
  for (const auto& [id, window] : view.browserWindowOf) windows[std::to_string(id)] = window;
  *out << nlohmann::json{{"tabs", view.tabs},
                         {"browserWindowOf", windows},
                         {"automationDenied", view.automationDenied}}
              .dump();
}

}  // namespace kelvane
