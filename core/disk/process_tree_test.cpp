#include "core/disk/process_tree.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <signal.h>
#include <stdio.h>
#include <string>

#include <gtest/gtest.h>

#include "core/disk/shell.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using ProcessTree::ChildTable;

TEST(ProcessTree, DescendantsAreDepthFirstInDiscoveryOrderEachOnce) {
  const ChildTable table = {
      {10, {11, 12}}, {11, {15}},
      {12, {13, 14}}, {13, {10, 12, 16}},  // back to the root and to a PID already found
      {14, {0, -3}},                       // not processes
      {99, {98}},                          // another tree
  };
  // 10's children first, then the last one found is searched before the earlier ones.
  EXPECT_EQ(ProcessTree::descendants(10, table), (std::vector<int32_t>{11, 12, 13, 14, 16, 15}));
  EXPECT_EQ(ProcessTree::descendants(12, table), (std::vector<int32_t>{13, 14, 10, 16, 11, 15}));
  EXPECT_EQ(ProcessTree::descendants(15, table), std::vector<int32_t>{});
  EXPECT_EQ(ProcessTree::descendants(7, {}), std::vector<int32_t>{});
}

TEST(ProcessTree, ReadsParentsFromStatFilesAndSkipsWhatItCannotRead) {
  const fs::path root = fs::path(testing::TempDir()) / "kelvane-proc";
  fs::remove_all(root);
  const std::map<std::string, std::string> stats = {
      {"100", "100 (odd) name) S 1 100 100 0 -1"},  // parentheses inside the name
      {"101", "101 (sh) R 100 101 1 0"},
      {"99", "99 (a b) Z 100 99 1"},
      {"103", "garbage without a name"},
      {"104", "104 (x) S"},  // cut before the parent
      {"self", "5 (self) S 100"},
      {"1x", "6 (x) S 100"},
  };
  for (const auto& [dir, text] : stats) {
    fs::create_directories(root / dir);
    std::ofstream(root / dir / "stat") << text;
  }
  fs::create_directories(root / "102");  // gone before its stat could be read
  const ChildTable expected = {{1, {100}}, {100, {99, 101}}};
  EXPECT_EQ(ProcessTree::read(root.string()), expected);
  EXPECT_EQ(ProcessTree::read((root / "missing").string()), ChildTable{});
  fs::remove_all(root);
}

TEST(ProcessTree, SignalTreeSendsGroupThenProcessThenDescendants) {
  std::vector<std::pair<int32_t, int>> sent;
  int asked = 0;
  const auto descendantsOf = [&](int32_t pid) {
    ++asked;
    EXPECT_TRUE(sent.empty());  // collected before the first signal
    return pid == 500 ? std::vector<int32_t>{7, 8} : std::vector<int32_t>{};
  };
  const auto send = [&](int32_t target, int signal) { sent.emplace_back(target, signal); };
  for (const int32_t low : {1, 0, -1, -500})
    ProcessTree::signalTree(low, SIGKILL, descendantsOf, send);
  EXPECT_EQ(asked, 0);
  EXPECT_TRUE(sent.empty());

  ProcessTree::signalTree(500, SIGTERM, descendantsOf, send);
  EXPECT_EQ(asked, 1);
  const std::vector<std::pair<int32_t, int>> expected = {
      {-500, SIGTERM}, {500, SIGTERM}, {7, SIGTERM}, {8, SIGTERM}};
  EXPECT_EQ(sent, expected);
}

// A live tree: sh, a sleeping child, and a subshell with a sleeping child of its own.
TEST(ShellDescendants, FindsALiveTreeBelowItsRoot) {
  FILE* tree = ::popen(
      "echo root $$; sleep 30 & echo child $!; (sleep 30 & echo grand $!; wait) & "
      "echo sub $!; wait",
      "r");
  ASSERT_NE(tree, nullptr);
  std::map<std::string, int32_t> pids;
  char word[16];
  int pid = 0;
  while (pids.size() < 4 && ::fscanf(tree, "%15s %d", word, &pid) == 2) pids[word] = pid;
  ASSERT_EQ(pids.size(), 4u);

  const auto found = Shell::descendants(pids["root"]);
  for (const auto& [name, id] : pids) ::kill(id, SIGKILL);
  ::pclose(tree);
  ASSERT_EQ(found.size(), 3u);
  EXPECT_EQ(std::count(found.begin(), found.end(), pids["child"]), 1);
  const auto sub = std::find(found.begin(), found.end(), pids["sub"]);
  const auto grand = std::find(found.begin(), found.end(), pids["grand"]);
  EXPECT_TRUE(sub < grand && grand != found.end());  // a child is found after its parent
}

}  // namespace
}  // namespace kelvane
