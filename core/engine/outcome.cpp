#include "core/engine/outcome.h"

namespace kelvane {

Outcome Outcome::done() { return {.result = "done"}; }

Outcome Outcome::undoable(std::optional<std::string> undo) {
  return {.result = "done", .undo = std::move(undo)};
}

Outcome Outcome::needsYou(std::string_view message) {
  return {.result = "needs you: " + std::string(message)};
}

Outcome Outcome::failed(std::string_view message) {
  return {.result = "failed: " + std::string(message)};
}

Outcome Outcome::skipped(std::string_view reason) {
  return {.result = "skipped: " + std::string(reason)};
}

Outcome Outcome::stopped() { return skipped("stopped"); }

}  // namespace kelvane
