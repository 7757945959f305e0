#pragma once
// Outcome: what a system action answers for one planned action. Its result text
// becomes the action's ActionResult.result, which the engine and the user read.
#include <optional>
#include <string>
#include <string_view>

namespace kelvane {

struct Outcome {
  std::string result;               // "done", "needs you: …", "failed: …", "skipped: …".
  std::optional<std::string> undo;  // How to undo, when there is a way.
  std::optional<std::string> note;  // Extra detail ("stopped after 3 of 9 items").
  bool operator==(const Outcome&) const = default;

  // "done", nothing to undo.
  static Outcome done();
  // "done" with how to undo it (absent when there is no way back).
  static Outcome undoable(std::optional<std::string> undo);
  // "needs you: " and the message: the user must look (an unsaved document).
  static Outcome needsYou(std::string_view message);
  // "failed: " and the message.
  static Outcome failed(std::string_view message);
  // "skipped: " and the reason.
  static Outcome skipped(std::string_view reason);
  // "skipped: stopped": not run because the run was stopped.
  static Outcome stopped();
};

}  // namespace kelvane
