#include "core/shell/process_tree.h"

#include <filesystem>
#include <fstream>
#include <signal.h>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

namespace fs = std::filesystem;
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

TEST(ProcessTree, ReadsParentsFromStatFilesAndSkipsWhatItCannotRead) {
  const fs::path root = fs::path(testing::TempDir()) / "kelvane-proc";
  fs::remove_all(root);
  // Parentheses and spaces inside a name; a line without a name; one cut before the parent.
  const std::pair<const char*, const char*> stats[] = {{"100", "100 (odd) name) S 1 100"},
                                                       {"101", "101 (sh) R 100 1"},
                                                       {"99", "99 (a b) Z 100"},
                                                       {"103", "garbage"},
                                                       {"104", "104 (x) S"},
                                                       {"self", "5 (self) S 100"}};
  for (const auto& [dir, text] : stats) {
    fs::create_directories(root / dir);
    std::ofstream(root / dir / "stat") << text;
  }
  fs::create_directories(root / "102");  // gone before its stat could be read
  EXPECT_EQ(ProcessTree::read(root.string()), (ChildTable{{1, {100}}, {100, {99, 101}}}));
  EXPECT_EQ(ProcessTree::read((root / "missing").string()), ChildTable{});
  fs::remove_all(root);
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
