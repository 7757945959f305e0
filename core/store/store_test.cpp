#include "core/store/store.h"

#include <csignal>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/support/testing/temp_dir.h"

namespace kelvane {
namespace {

struct Note {
  int n = 0;
  std::string text;
  bool operator==(const Note&) const = default;
};
void to_json(nlohmann::json& j, const Note& note) { j = {{"text", note.text}, {"n", note.n}}; }
void from_json(const nlohmann::json& j, Note& note) {
  j.at("n").get_to(note.n);
  j.at("text").get_to(note.text);
}

std::string contents(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

void write(const std::filesystem::path& p, std::string_view bytes) {
  std::ofstream(p, std::ios::binary) << bytes;
}

TEST(StoreDataDir, EnvironmentChoosesTheFolder) {
  EXPECT_EQ(Store::dataDir({{"KELVANE_DATA", "/srv/k"}, {"HOME", "/home/ann"}}), "/srv/k");
  EXPECT_EQ(Store::dataDir({{"KELVANE_DATA", ""}, {"HOME", "/home/ann"}}),
            "/home/ann/Library/Application Support/Kelvane");
  EXPECT_FALSE(Store::dataDir({}).empty());
}

TEST(Store, DocumentsRoundTripSortedAndCompact) {
  TempDir tmp;
  const Store store(tmp.path() / "nested" / "folder");  // created by the write
  EXPECT_EQ(store.load<Note>("n.json"), std::nullopt);
  EXPECT_FALSE(std::filesystem::exists(store.dir));  // reads never create the folder
  ASSERT_TRUE(store.save(Note{3, "a\nb"}, "n.json"));
  EXPECT_EQ(contents(store.path("n.json")), R"({"n":3,"text":"a\nb"})");
  EXPECT_EQ(store.load<Note>("n.json"), (Note{3, "a\nb"}));
  write(store.path("n.json"), "{not json");
  EXPECT_EQ(store.load<Note>("n.json"), std::nullopt);
}

TEST(Store, AFifoOrADeviceInAFilesPlaceIsNeitherReadNorAppendedTo) {
  TempDir tmp;
  const Store store(tmp.path());
  // Without a writer, opening the FIFO to read would wait forever.
  ASSERT_EQ(::mkfifo(store.path(kRunsFile).c_str(), 0600), 0);
  std::filesystem::create_symlink("/dev/zero", store.path("n.json"));  // never ends
  EXPECT_EQ(store.read(kRunsFile), std::nullopt);
  EXPECT_TRUE(store.runs(Date(0)).empty());
  EXPECT_EQ(store.load<Note>("n.json"), std::nullopt);
  EXPECT_FALSE(store.append(RunRecord{}));
  EXPECT_TRUE(std::filesystem::is_fifo(store.path(kRunsFile)));
}

TEST(Store, FailedDocumentWriteKeepsTheOldFile) {
  TempDir tmp;
  const Store store(tmp.path());
  ASSERT_TRUE(store.save(Note{1, "old"}, "n.json"));
  // A folder whose path runs through a file cannot be created.
  write(tmp.path() / "file", "x");
  const Store blocked(tmp.path() / "file" / "sub");
  const auto r = blocked.save(Note{2, "new"}, "n.json");
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().message.find("file/sub"), std::string::npos);
  // A write cut short (here by a file size limit, which binds root too) fails
  // the save and leaves the document as it was.
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit tiny{8, 8};
    ::_exit(::setrlimit(RLIMIT_FSIZE, &tiny) == 0 && !store.save(Note{2, "new"}, "n.json") ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  // A target that is a folder cannot be replaced either.
  std::filesystem::create_directory(tmp.path() / "d.json");
  EXPECT_FALSE(store.save(Note{2, "new"}, "d.json"));
  EXPECT_EQ(store.load<Note>("n.json"), (Note{1, "old"}));
  // No temporary files are left behind.
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(tmp.path())) ++entries;
  EXPECT_EQ(entries, 3u);
}

TEST(StoreLines, ReadsTheDecodableLinesOfADamagedFile) {
  TempDir tmp;
  const Store store(tmp.path());
  EXPECT_TRUE(store.lines<Note>("log.jsonl").empty());
  write(store.path("log.jsonl"),
        "{\"n\":1,\"text\":\"a\"}\n\n   \ngarbage\n{\"n\":\"x\",\"text\":\"b\"}\n"
        "{\"text\":\"c\",\"n\":2}\n{\"n\":3,\"te");
  EXPECT_EQ(store.lines<Note>("log.jsonl"), (std::vector<Note>{{1, "a"}, {2, "c"}}));
}

TEST(StoreLines, AppendRepairsACutLastLine) {
  TempDir tmp;
  const Store store(tmp.path());
  write(store.path("log.jsonl"), "{\"n\":1,\"text\":\"a\"}\n{\"n\":2,\"te");
  ASSERT_TRUE(store.appendLines(std::vector<Note>{{3, "c"}, {4, "d"}}, "log.jsonl"));
  EXPECT_EQ(contents(store.path("log.jsonl")),
            "{\"n\":1,\"text\":\"a\"}\n{\"n\":2,\"te\n{\"n\":3,\"text\":\"c\"}\n"
            "{\"n\":4,\"text\":\"d\"}\n");
  EXPECT_EQ(store.lines<Note>("log.jsonl"), (std::vector<Note>{{1, "a"}, {3, "c"}, {4, "d"}}));
  // Appending nothing to a missing file creates it empty.
  ASSERT_TRUE(store.appendLines(std::vector<Note>{}, "empty.jsonl"));
  EXPECT_TRUE(std::filesystem::exists(store.path("empty.jsonl")));
  EXPECT_EQ(contents(store.path("empty.jsonl")), "");
}

TEST(StoreLines, RewriteNormalisesAndKeeps) {
  TempDir tmp;
  const Store store(tmp.path());
  const auto keepAll = [](const Note&) { return true; };
  ASSERT_TRUE(store.rewriteLines<Note>("missing.jsonl", keepAll));
  EXPECT_FALSE(store.exists("missing.jsonl"));
  write(store.path("log.jsonl"), "{\"text\":\"a\",\"n\":1}\nbad\n{\"text\":\"b\",\"n\":2}");
  ASSERT_TRUE(store.rewriteLines<Note>("log.jsonl", keepAll));
  EXPECT_EQ(contents(store.path("log.jsonl")),
            "{\"n\":1,\"text\":\"a\"}\n{\"n\":2,\"text\":\"b\"}\n");
  ASSERT_TRUE(store.rewriteLines<Note>("log.jsonl", [](const Note& n) { return n.n > 1; }));
  EXPECT_EQ(contents(store.path("log.jsonl")), "{\"n\":2,\"text\":\"b\"}\n");
  ASSERT_TRUE(store.rewriteLines<Note>("log.jsonl", [](const Note&) { return false; }));
  EXPECT_EQ(contents(store.path("log.jsonl")), "");
}

TEST(Store, FifoInAFilesPlaceIsRefusedWithoutWaiting) {
  TempDir tmp;
  const Store store(tmp.path());
  ASSERT_EQ(::mkfifo(store.path("log.jsonl").c_str(), 0600), 0);
  // In a child, so that a read or write that waits on the FIFO ends at the
  // alarm instead of holding up the suite.
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(10);
    const bool refused = store.lines<Note>("log.jsonl").empty() && !store.load<Note>("log.jsonl") &&
                         !store.appendLines(std::vector<Note>(9000, Note{1, "x"}), "log.jsonl");
    ::_exit(refused ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace kelvane
