#include "helper/helper_config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "helper/testing/temp_folder.h"

namespace kelvane {
namespace {

using testing::TempFolder;
using testing::writeText;

// Reads `text` as a configuration file with `mode`, owned by whoever runs the test.
LoadedConfig load(const TempFolder& tmp, const std::string& text, mode_t mode = 0600) {
  const std::string path = tmp / "proxyhelper.json";
  writeText(path, text);
  ::chmod(path.c_str(), mode);
  return loadHelperConfig(path, ::geteuid());
}

TEST(HelperConfig, ReadsEveryKey) {
  TempFolder tmp;
  const auto loaded = load(tmp, R"({"teamID": "K3LV4N3T34", "adminGroup": "wheel",
      "clientPaths": ["/opt/kelvane/app"], "applyCommand": ["/sbin/apply", "--now"],
      "unknown": true})",
                           0644);
  HelperConfig expected;
  expected.teamID = "K3LV4N3T34";
  expected.adminGroup = "wheel";
  expected.clientPaths = {"/opt/kelvane/app"};
  expected.applyCommand = {"/sbin/apply", "--now"};
  EXPECT_EQ(loaded.config, expected);
  EXPECT_TRUE(loaded.notes.empty());
}

TEST(HelperConfig, DamagedKeysFallBackOneByOne) {
  TempFolder tmp;
  const auto loaded = load(tmp, R"({"teamID": "", "adminGroup": 80,
      "clientPaths": ["relative/app", "/opt/app", 5], "applyCommand": ["apply"]})");
  HelperConfig expected;
  expected.clientPaths = {"/opt/app"};
  EXPECT_EQ(loaded.config, expected);
  const std::string prefix = "KelvaneProxyHelper: configuration " + (tmp / "proxyhelper.json");
  EXPECT_EQ(loaded.notes,
            (std::vector<std::string>{
                prefix + ": teamID is not a non-empty text, ignored",
                prefix + ": adminGroup is not a non-empty text, ignored",
                prefix + ": clientPaths entry is not an absolute path, ignored",
                prefix + ": clientPaths entry is not an absolute path, ignored",
                prefix + ": applyCommand must list an absolute program and text arguments, ignored",
                prefix + ": has no teamID, so no client is admitted"}));
}

TEST(HelperConfig, UntrustedOrUnreadableFilesAdmitNobody) {
  TempFolder tmp;
  const std::string good = R"({"teamID": "T", "clientPaths": ["/opt/app"]})";
  const std::string prefix = "KelvaneProxyHelper: configuration " + (tmp / "proxyhelper.json");
  const std::pair<LoadedConfig, std::string> cases[] = {
      {load(tmp, good, 0620), "is writable by others than root, so no client is admitted"},
      {load(tmp, good, 0602), "is writable by others than root, so no client is admitted"},
      {load(tmp, "[1, 2]"), "is not a JSON object, so no client is admitted"},
      {loadHelperConfig(tmp / "missing.json", ::geteuid()), ""},
      {loadHelperConfig(tmp / "proxyhelper.json", ::geteuid() + 1),
       "is not owned by root, so no client is admitted"},
      {loadHelperConfig(tmp.path(), ::geteuid()), ""},
  };
  for (const auto& [loaded, why] : cases) {
    EXPECT_EQ(loaded.config, HelperConfig{});
    ASSERT_EQ(loaded.notes.size(), 1u);
    if (!why.empty()) {
      EXPECT_EQ(loaded.notes[0], prefix + ": " + why);
    }
  }
  EXPECT_EQ(loadHelperConfig(tmp / "missing.json", ::geteuid()).notes[0],
            "KelvaneProxyHelper: configuration " + (tmp / "missing.json") +
                ": cannot be read, so no client is admitted");
}

}  // namespace
}  // namespace kelvane
