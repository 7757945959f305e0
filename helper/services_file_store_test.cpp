#include "helper/services_file_store.h"

#include <sys/stat.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "helper/testing/temp_folder.h"

namespace kelvane {
namespace {

using nlohmann::json;
using testing::readText;
using testing::TempFolder;
using testing::writeText;

const char* kDocument = R"({
  "version": 2,
  "services": [
    {"id": "wifi", "name": "Wi-Fi", "enabled": true,
     "proxies": {"HTTPEnable": 1, "HTTPProxy": "proxy.corp", "HTTPPort": 3128,
                 "ExceptionsList": ["*.corp"], "Blob": {"$data": "AQI="}}},
    {"id": "eth", "name": "Ethernet", "enabled": false, "proxies": {}},
    {"id": "bt", "name": "Bluetooth PAN", "enabled": true},
    {"id": "odd", "name": "Odd", "proxies": "not a dictionary"},
    {"name": "no id", "proxies": {}},
    7,
    {"id": "wifi", "name": "Wi-Fi again", "proxies": {"HTTPEnable": 0}}
  ]
})";

struct Fixture {
  TempFolder tmp;
  std::string doc = tmp / "network-services.json";
  ServicesFileStore store{doc, tmp / "network-services.json.lock", {}};
  Fixture() { writeText(doc, kDocument); }
};

TEST(ServicesFileStore, ReadsEveryServiceWithAProxiesProtocol) {
  Fixture f;
  const SettingsSet expected = {
      {"wifi",
       {{"HTTPEnable", 1},
        {"HTTPProxy", "proxy.corp"},
        {"HTTPPort", 3128},
        {"ExceptionsList", PlistArray{"*.corp"}},
        {"Blob", PlistData{1, 2}}}},
      {"eth", {}},  // disabled services count too
      {"odd", {}},  // a configuration that is not a dictionary reads as empty
  };
  EXPECT_EQ(f.store.read(), expected);
  writeText(f.doc, R"({"services": "damaged"})");
  EXPECT_EQ(f.store.read(), SettingsSet{});
  writeText(f.doc, R"({})");
  EXPECT_EQ(f.store.read(), SettingsSet{});
}

TEST(ServicesFileStore, CannotOpenWhatIsMissingDamagedOrUncarriable) {
  Fixture f;
  for (const char* text : {"", "not json", "[]",
                           R"({"services": [{"id": "a", "proxies": )"
                           R"({"HTTPProxy": null}}]})"}) {
    writeText(f.doc, text);
    EXPECT_EQ(f.store.read(), std::nullopt) << text;
    EXPECT_EQ(f.store.write({{"a", {}}}), PrefsWrite::notCommitted) << text;
    EXPECT_EQ(readText(f.doc), text);
  }
  std::filesystem::remove(f.doc);
  EXPECT_EQ(f.store.read(), std::nullopt);
  EXPECT_EQ(f.store.write({}), PrefsWrite::notCommitted);
}

TEST(ServicesFileStore, WritesOnlyTheSharedServicesAndKeepsTheRest) {
  Fixture f;
  ASSERT_EQ(::chmod(f.doc.c_str(), 0640), 0);
  const ServiceConfig ours = {{"HTTPEnable", 1}, {"HTTPPort", 9091}, {"Stamp", PlistDate{1.5}}};
  ASSERT_EQ(f.store.write({{"wifi", ours}, {"odd", ours}, {"bt", ours}, {"unknown", ours}}),
            PrefsWrite::applied);

  auto expected = json::parse(kDocument);
  const json oursJson = {{"HTTPEnable", 1}, {"HTTPPort", 9091}, {"Stamp", {{"$date", 1.5}}}};
  expected["services"][0]["proxies"] = oursJson;
  expected["services"][3]["proxies"] = oursJson;  // "bt" has no proxies protocol: untouched
  EXPECT_EQ(json::parse(readText(f.doc)), expected);
  EXPECT_EQ((*f.store.read())["wifi"], ours);

  struct stat info {};
  ASSERT_EQ(::stat(f.doc.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
}

TEST(ServicesFileStore, ApplyCommandRunsAfterTheCommitAndDecidesTheOutcome) {
  Fixture f;
  const std::string copy = f.tmp / "seen-by-apply.json";
  ServicesFileStore copying(f.doc, f.tmp / "lock", {"/bin/cp", f.doc, copy});
  ASSERT_EQ(copying.write({{"eth", {{"HTTPEnable", 1}}}}), PrefsWrite::applied);
  EXPECT_EQ(json::parse(readText(copy))["services"][1]["proxies"], json({{"HTTPEnable", 1}}));

  ServicesFileStore failing(f.doc, f.tmp / "lock", {"/bin/false"});
  EXPECT_EQ(failing.write({{"eth", {{"HTTPEnable", 0}}}}), PrefsWrite::committedNotApplied);
  EXPECT_EQ((*f.store.read())["eth"], (ServiceConfig{{"HTTPEnable", 0}}));  // committed anyway
  ServicesFileStore missing(f.doc, f.tmp / "lock", {"/nonexistent/apply"});
  EXPECT_EQ(missing.write({}), PrefsWrite::committedNotApplied);
}

TEST(ServicesFileStore, NothingIsWrittenWithoutTheLock) {
  Fixture f;
  ServicesFileStore unlockable(f.doc, f.tmp / "no/such/folder/lock", {});
  EXPECT_EQ(unlockable.write({{"eth", {{"HTTPEnable", 1}}}}), PrefsWrite::notCommitted);
  EXPECT_EQ(readText(f.doc), kDocument);
}

TEST(RunCommand, SucceedsOnlyOnExitStatusZeroWithinTheLimit) {
  EXPECT_TRUE(runCommand({"/bin/true"}, 5000));
  EXPECT_FALSE(runCommand({"/bin/sh", "-c", "exit 3"}, 5000));
  EXPECT_FALSE(runCommand({"/bin/sleep", "30"}, 50));  // killed at the limit
  EXPECT_FALSE(runCommand({"true"}, 5000));            // relative programs are not run
  EXPECT_FALSE(runCommand({}, 5000));
}

}  // namespace
}  // namespace kelvane
