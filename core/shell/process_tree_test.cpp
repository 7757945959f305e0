#include "core/shell/process_tree.h"

#include <signal.h>

#include <gtest/gtest.h>

#include "core/shell/shell.h"

namespace kelvane {
namespace {

using ProcessTree::ChildTable;
using Pids = std::vector<int32_t>;

TEST(ProcessTree, DescendantsAreDepthFirstInDiscoveryOrderEachOnce) {
  const ChildTable table = {
      {10, {11, 12}}, {11, {15}},
      {12, {13, 14}}, {13, {10, 12, 16}},  // back to the root and to a PID already found
      {14, {0, -3}},                       // not processes
  };
  // The last child found is searched first; the root itself is never listed.
  EXPECT_EQ(ProcessTree::descendants(10, table), (Pids{11, 12, 13, 14, 16, 15}));
  EXPECT_EQ(ProcessTree::descendants(12, table), (Pids{13, 14, 10, 16, 11, 15}));
  EXPECT_EQ(ProcessTree::descendants(15, table), Pids{});
}

TEST(ProcessTree, TableFromParentsKeepsTheLowestChildrenOfEachParent) {
  std::vector<std::pair<int32_t, int32_t>> links = {{101, 100}, {99, 100}, {0, 1}, {-4, 1}};
  for (int32_t pid = 5000 + int32_t(ProcessTree::kMaxChildren); pid >= 5000; --pid)
    links.emplace_back(pid, 7);
  const ChildTable table = ProcessTree::fromParents(links);
  EXPECT_EQ(table.at(100), (Pids{99, 101}));
  EXPECT_FALSE(table.contains(1));  // 0 and below are not processes
  ASSERT_EQ(table.at(7).size(), ProcessTree::kMaxChildren);
  EXPECT_EQ(table.at(7).front(), 5000);
  EXPECT_EQ(table.at(7).back(), 5000 + int32_t(ProcessTree::kMaxChildren) - 1);
}

TEST(ProcessTree, ShellSearchesTheInstalledTableOnly) {
  Shell::useProcessTable({});
  EXPECT_EQ(Shell::descendants(10), Pids{});
  Shell::useProcessTable([] {
    return std::vector<std::pair<int32_t, int32_t>>{{11, 10}, {12, 11}, {13, 1}};
  });
  EXPECT_EQ(Shell::descendants(10), (Pids{11, 12}));
  Shell::useProcessTable({});
}

TEST(ProcessTree, SignalTreeSendsGroupThenProcessThenDescendants) {
  std::vector<std::pair<int32_t, int>> sent;
  const auto below = [&](int32_t pid) {
    EXPECT_TRUE(sent.empty());  // collected before the first signal
    return Pids{pid + 1, pid + 2};
  };
  const auto send = [&](int32_t target, int signal) { sent.emplace_back(target, signal); };
  for (const int32_t low : {1, 0, -1, -500}) ProcessTree::signalTree(low, SIGKILL, below, send);
  EXPECT_TRUE(sent.empty());
  ProcessTree::signalTree(500, SIGTERM, below, send);
  EXPECT_EQ(sent, (std::vector<std::pair<int32_t, int>>{
                      {-500, SIGTERM}, {500, SIGTERM}, {501, SIGTERM}, {502, SIGTERM}}));
}

}  // namespace
}  // namespace kelvane
