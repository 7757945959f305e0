#include "core/support/file_io.h"

#include <cerrno>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/support/testing/temp_dir.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;

void write(const fs::path& p, std::string_view bytes) {
  std::ofstream(p, std::ios::binary) << bytes;
}

bool isOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

size_t entries(const fs::path& folder) {
  return static_cast<size_t>(std::distance(fs::directory_iterator(folder), {}));
}

TEST(FileDescriptor, ClosesOnceWhateverMovesIt) {
  FileDescriptor a(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const int first = a.get();
  ASSERT_TRUE(a.valid());
  {
    const FileDescriptor b(std::move(a));
    EXPECT_FALSE(a.valid());
    EXPECT_TRUE(isOpen(first));
  }
  EXPECT_FALSE(isOpen(first));  // the moved-to owner closed it, the moved-from one does not

  FileDescriptor kept(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  FileDescriptor replaced(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const int keptFd = kept.get();
  const int replacedFd = replaced.get();
  replaced = std::move(kept);  // closes what it held before
  EXPECT_FALSE(isOpen(replacedFd));
  EXPECT_EQ(replaced.get(), keptFd);
  EXPECT_TRUE(replaced.close());
  EXPECT_FALSE(isOpen(keptFd));
  EXPECT_FALSE(replaced.close());  // nothing left to close
}

TEST(ReadWholeFile, ReadsRegularFilesUpToTheLimit) {
  TempDir tmp;
  const auto file = tmp.path() / "f";
  const std::string bytes("a\0b\xff\n", 5);
  write(file, bytes);
  EXPECT_EQ(readWholeFile(file), bytes);
  EXPECT_EQ(readWholeFile(file, 5), bytes);
  EXPECT_EQ(readWholeFile(file, 4), std::nullopt);
  write(tmp.path() / "empty", "");
  EXPECT_EQ(readWholeFile(tmp.path() / "empty", 0), "");
  fs::create_symlink(file, tmp.path() / "link");
  EXPECT_EQ(readWholeFile(tmp.path() / "link"), bytes);
  EXPECT_EQ(readWholeFile(tmp.path() / "missing"), std::nullopt);
  EXPECT_EQ(readWholeFile(tmp.path()), std::nullopt);  // a folder
}

TEST(ReadWholeFile, RefusesAFifoWithoutWaitingForAWriter) {
  TempDir tmp;
  const auto fifo = tmp.path() / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // In a child, so that a read that waits for a writer ends at the alarm
  // instead of holding up the suite.
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(10);
    ::_exit(readWholeFile(fifo) == std::nullopt ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST(ReplaceFile, WritesTheNewFileWithTheGivenMode) {
  TempDir tmp;
  const auto file = tmp.path() / "doc.json";
  ASSERT_TRUE(replaceFile(file, "first", FileOwnership{.mode = 0640}));
  EXPECT_EQ(readWholeFile(file), "first");
  EXPECT_EQ(ownershipOf(file)->mode, 0640u);
  // The mode is set as given, not masked by the umask, and the owner stays ours.
  const mode_t oldMask = ::umask(077);
  const auto replaced = replaceFile(file, "second", FileOwnership{.mode = 0644, .uid = ::getuid()});
  ::umask(oldMask);
  ASSERT_TRUE(replaced);
  EXPECT_EQ(readWholeFile(file), "second");
  EXPECT_EQ(ownershipOf(file), (FileOwnership{0644, ::getuid(), ::getgid()}));
  EXPECT_EQ(entries(tmp.path()), 1u);
  EXPECT_EQ(ownershipOf(tmp.path() / "missing"), std::nullopt);
}

TEST(ReplaceFile, ReplacesALinkRatherThanItsTarget) {
  TempDir tmp;
  write(tmp.path() / "target", "theirs");
  fs::create_symlink(tmp.path() / "target", tmp.path() / "doc");
  ASSERT_TRUE(replaceFile(tmp.path() / "doc", "ours", FileOwnership{}));
  EXPECT_EQ(readWholeFile(tmp.path() / "target"), "theirs");
  EXPECT_FALSE(fs::is_symlink(tmp.path() / "doc"));
  EXPECT_EQ(readWholeFile(tmp.path() / "doc"), "ours");
}

TEST(ReplaceFile, FailureLeavesNoTemporaryFileAndSaysWhere) {
  TempDir tmp;
  fs::create_directory(tmp.path() / "folder.json");
  write(tmp.path() / "folder.json" / "inside", "kept");
  const auto intoFolder = replaceFile(tmp.path() / "folder.json", "x", FileOwnership{});
  ASSERT_FALSE(intoFolder);
  EXPECT_EQ(intoFolder.error().code, EISDIR);
  EXPECT_EQ(intoFolder.error().message,
            "cannot write " + (tmp.path() / "folder.json").string() + ": Is a directory");
  EXPECT_EQ(entries(tmp.path()), 1u);
  EXPECT_EQ(readWholeFile(tmp.path() / "folder.json" / "inside"), "kept");

  const auto noFolder = replaceFile(tmp.path() / "no" / "doc", "x", FileOwnership{});
  ASSERT_FALSE(noFolder);
  EXPECT_EQ(noFolder.error().code, ENOENT);
}

TEST(TemporaryName, RecognisesOnlyTheReplacementPattern) {
  std::string made = temporaryPattern("runs.jsonl");
  made.replace(made.size() - 6, 6, "a1B2z9");
  EXPECT_EQ(made, ".runs.jsonl.tmp-a1B2z9");
  EXPECT_TRUE(isTemporaryName(made));
  for (const char* other : {
           ".runs.jsonl",             // a hidden file of someone else's
           "runs.jsonl.tmp-a1B2z9",   // not hidden
           ".runs.jsonl.tmp-a1B2z",   // five random characters
           ".runs.jsonl.tmp-a1B2z!",  // not a letter or digit
           ".runs.jsonl.tmp-XXXXXX-old",
           ".tmp-a1B2z9",  // no target name
       })
    EXPECT_FALSE(isTemporaryName(other)) << other;
}

}  // namespace
}  // namespace kelvane
