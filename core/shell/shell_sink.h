#pragma once
// ShellSink: the captured bytes of one output stream of a tool run by Shell,
// capped so that a chatty tool cannot exhaust memory. Internal to kelvane_shell.
#include <cstddef>
#include <string>
#include <string_view>

namespace kelvane {

// Not thread-safe: each sink is filled and read by the one thread that runs the tool.
class ShellSink final {
 public:
  // The number of trailing bytes a stream yields.
  static constexpr size_t kKeptBytes = 1'000'000;
  // The buffer size at which the buffer is cut back to its last kKeptBytes.
  static constexpr size_t kTrimAtBytes = 2'000'001;

  // Appends `data`; once the buffer holds kTrimAtBytes or more, keeps only its last kKeptBytes.
  void append(std::string_view data);
  // Decodes the last kKeptBytes as UTF-8, each invalid sequence becoming U+FFFD.
  std::string text() const;
  // Returns how many bytes the buffer holds now.
  size_t size() const { return bytes_.size(); }

 private:
  std::string bytes_;
};

}  // namespace kelvane
