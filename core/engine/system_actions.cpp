#include "core/engine/system_actions.h"

namespace kelvane {

Outcome SystemActions::closeTab(const Action&) { return Outcome::skipped("tabs not supported"); }

Outcome SystemActions::closeBrowserWindow(const Action&) {
  return Outcome::skipped("browser windows not supported");
}

Outcome SystemActions::cleanDisk(const Action&) {
  return Outcome::skipped("disk cleanup not supported");
}

}  // namespace kelvane
