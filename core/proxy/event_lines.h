#pragma once
// EventLines: splits the proxy engine's output into event lines as the bytes
// arrive, in whatever pieces they come, holding only an unfinished line. A
// line longer than a fixed cap is skipped without ever being held whole.
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace kelvane {

// Not thread-safe: one reader feeds it.
class EventLines final {
 public:
  // The longest line kept: 64 MiB, far above the largest event the engine
  // writes (its bodies are captured in part, and Base64 adds a third).
  static constexpr size_t kMaxLineBytes = size_t(64) << 20;
  using Visit = std::function<void(std::string_view line)>;

  explicit EventLines(size_t maxLineBytes = kMaxLineBytes) : maxLineBytes_(maxLineBytes) {}

  // Hands `visit` every line that `bytes` completes, without its "\n" (nor a
  // "\r" before it); keeps the unfinished rest for the next call. Lines over
  // the cap are dropped and counted in overlong().
  void feed(std::string_view bytes, const Visit& visit);
  // Hands over the last line when the stream ended without a newline.
  void finish(const Visit& visit);
  // Returns how many lines were longer than the cap.
  size_t overlong() const { return overlong_; }

 private:
  void deliver(std::string_view line, const Visit& visit);

  size_t maxLineBytes_;
  std::string partial_;    // The unfinished line, when it is within the cap.
  bool skipping_ = false;  // The unfinished line is over the cap: its bytes are dropped.
  size_t overlong_ = 0;
};

}  // namespace kelvane
