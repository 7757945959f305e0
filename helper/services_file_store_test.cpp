#include "helper/services_file_store.h"

#include <filesystem>
#include <sys/stat.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "helper/testing/temp_folder.h"

namespace kelvane {
namespace {

using nlohmann::json;
using testing::readText;
using testing::writeText;

const char* kDocument = R"({"version": 2, "services": [
  {"id": "wifi", "name": "Wi-Fi", "proxies": {"HTTPPort": 3128, "Blob": {"$data": "AQI="}}},
  {"id": "eth", "name": "Ethernet", "enabled": false, "proxies": {}},
  {"id": "bt", "name": "Bluetooth PAN"},
  {"id": "odd", "proxies": "not a dictionary"},
  {"name": "no id", "proxies": {}}, 7,
  {"id": "wifi", "name": "Wi-Fi again", "proxies": {"HTTPEnable": 0}}]})";

struct Fixture {
  testing::TempFolder tmp;
  std::string doc = tmp / "network-services.json";
  ServicesFileStore store{doc, doc + ".lock", {}};
  Fixture() { writeText(doc, kDocument); }
};

TEST(ServicesFileStore, ReadsEveryServiceWithAProxiesProtocol) {
  Fixture f;
  EXPECT_EQ(f.store.read(), (SettingsSet{{"wifi", {{"HTTPPort", 3128}, {"Blob", PlistData{1, 2}}}},
                                         {"eth", {}},     // disabled services count too
                                         {"odd", {}}}));  // not a dictionary: empty
  writeText(f.doc, R"({"services": "damaged"})");
  EXPECT_EQ(f.store.read(), SettingsSet{});
}

TEST(ServicesFileStore, WritesOnlyTheSharedServicesAndKeepsTheRest) {
  Fixture f;
  ASSERT_EQ(::chmod(f.doc.c_str(), 0640), 0);
  const ServiceConfig ours = {{"HTTPEnable", 1}, {"Stamp", PlistDate{1.5}}};
  ASSERT_EQ(f.store.write({{"wifi", ours}, {"odd", ours}, {"bt", ours}, {"unknown", ours}}),
            PrefsWrite::applied);
  auto expected = json::parse(kDocument);
  for (int i : {0, 3})
    expected["services"][i]["proxies"] = {{"HTTPEnable", 1}, {"Stamp", {{"$date", 1.5}}}};
  EXPECT_EQ(json::parse(readText(f.doc)), expected);
  EXPECT_EQ(std::filesystem::status(f.doc).permissions(), std::filesystem::perms(0640));
}

TEST(ServicesFileStore, LeavesAloneWhatItCannotOpenOrLock) {
  Fixture f;
  for (const char* text : {"not json", "[]",
                           R"({"services": [{"id": "a", "proxies": )"
                           R"({"HTTPProxy": null}}]})"}) {
    writeText(f.doc, text);
    EXPECT_EQ(f.store.read(), std::nullopt) << text;
    EXPECT_EQ(f.store.write({{"a", {}}}), PrefsWrite::notCommitted) << text;
    EXPECT_EQ(readText(f.doc), text);
  }
  ServicesFileStore unlockable(f.doc, f.tmp / "no/such/folder/lock", {});
  EXPECT_EQ(unlockable.write({}), PrefsWrite::notCommitted);
}

TEST(ServicesFileStore, ApplyCommandRunsAfterTheCommitAndDecidesTheOutcome) {
  Fixture f;
  const std::string seen = f.tmp / "seen-by-apply.json";
  ServicesFileStore copying(f.doc, f.tmp / "lock", {"/bin/cp", f.doc, seen});
  ASSERT_EQ(copying.write({{"eth", {{"HTTPEnable", 1}}}}), PrefsWrite::applied);
  EXPECT_EQ(json::parse(readText(seen))["services"][1]["proxies"], json({{"HTTPEnable", 1}}));
  for (const auto& command : std::vector<std::vector<std::string>>{
           {"/bin/false"}, {"/nonexistent/apply"}, {"relative-apply"}}) {
    ServicesFileStore failing(f.doc, f.tmp / "lock", command);
    EXPECT_EQ(failing.write({{"eth", {{"HTTPEnable", 0}}}}), PrefsWrite::committedNotApplied);
  }
  EXPECT_EQ((*f.store.read())["eth"], (ServiceConfig{{"HTTPEnable", 0}}));  // committed anyway
  EXPECT_FALSE(runCommand({"/bin/sleep", "30"}, 50));  // killed at its time limit
}

}  // namespace
}  // namespace kelvane
