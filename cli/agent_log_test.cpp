#include "cli/agent_log.h"

#include <gtest/gtest.h>

namespace kelvane::AgentLog {
namespace {

TEST(AgentLogLine, OneEventIsOneJournalLineWithItsPriority) {
  EXPECT_EQ(line(Level::warning, "held: would close 4 of 6 open windows", true),
            "<4>held: would close 4 of 6 open windows\n");
  EXPECT_EQ(line(Level::info, "tick", false), "tick\n");
  // A target's name may hold anything: it never starts a second entry or
  // breaks the journal's UTF-8.
  EXPECT_EQ(line(Level::error, "stopped a\nb\r\t\x1b[1m \xff", true),
            "<3>stopped a b   [1m \xEF\xBF\xBD\n");
}

}  // namespace
}  // namespace kelvane::AgentLog
