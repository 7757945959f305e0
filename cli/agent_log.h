#pragma once
// AgentLog: the agent's log on standard error, one line per event, in the form
// the journal reads: a syslog priority in angle brackets ("<6>") before the
// text, which journald turns into the entry's priority. On a terminal the
// priority is left out.
#include <string>
#include <string_view>

namespace kelvane::AgentLog {

// Syslog priorities.
enum class Level { error = 3, warning = 4, notice = 5, info = 6, debug = 7 };

// Returns one event as one line: the priority prefix when `prefixed`, then the
// text with line breaks and other control characters shown as spaces (an event
// never spans two journal entries) and bytes that are not UTF-8 replaced, then
// a line feed.
std::string line(Level level, std::string_view text, bool prefixed);

// Writes the event to standard error whole, so lines of several threads never
// mix. Prefixed unless standard error is a terminal.
void write(Level level, std::string_view text);

// Shorthands for write().
inline void error(std::string_view text) { write(Level::error, text); }
inline void warning(std::string_view text) { write(Level::warning, text); }
inline void notice(std::string_view text) { write(Level::notice, text); }
inline void info(std::string_view text) { write(Level::info, text); }
inline void debug(std::string_view text) { write(Level::debug, text); }

}  // namespace kelvane::AgentLog
