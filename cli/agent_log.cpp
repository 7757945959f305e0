#include "cli/agent_log.h"

#include <mutex>
#include <unistd.h>

#include "core/support/file_io.h"
#include "core/support/text.h"

namespace kelvane::AgentLog {

std::string line(Level level, std::string_view text, bool prefixed) {
  std::string out;
  if (prefixed) out = "<" + std::to_string(static_cast<int>(level)) + ">";
  std::string clean = Text::validUtf8(text);
  for (char& c : clean)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  out += clean;
  out += '\n';
  return out;
}

void write(Level level, std::string_view text) {
  static const bool prefixed = !::isatty(STDERR_FILENO);
  static std::mutex writing;  // A line longer than a pipe's atomic write stays whole too.
  const std::lock_guard lock(writing);
  (void)writeAll(STDERR_FILENO, line(level, text, prefixed));
}

}  // namespace kelvane::AgentLog
