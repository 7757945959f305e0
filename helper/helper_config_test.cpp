#include "helper/helper_config.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "helper/testing/temp_folder.h"

namespace kelvane {
namespace {

TEST(HelperConfig, ReadsEveryKeyAndDropsDamagedOnesOneByOne) {
  testing::TempFolder tmp;
  const std::string path = tmp / "proxyhelper.json";
  testing::writeText(path, R"({"teamID": "K3LV4N3T34", "adminGroup": "wheel",
      "clientPaths": ["/opt/app", "relative/app"], "applyCommand": ["/sbin/apply", "--now"]})");
  const auto loaded = loadHelperConfig(path, ::geteuid());
  HelperConfig expected{"K3LV4N3T34", "wheel", {"/opt/app"}, {"/sbin/apply", "--now"}};
  EXPECT_EQ(loaded.config, expected);
  EXPECT_EQ(loaded.notes, std::vector<std::string>{"KelvaneProxyHelper: configuration " + path +
                                                   ": clientPaths entry is not an absolute path, "
                                                   "ignored"});

  testing::writeText(path, R"({"teamID": "", "adminGroup": 80, "applyCommand": ["apply"]})");
  EXPECT_EQ(loadHelperConfig(path, ::geteuid()).config, HelperConfig{});
  EXPECT_EQ(loadHelperConfig(path, ::geteuid()).notes.size(), 4u);
}

TEST(HelperConfig, AFileRootDoesNotSolelyControlAdmitsNobody) {
  testing::TempFolder tmp;
  const std::string path = tmp / "proxyhelper.json";
  testing::writeText(path, R"({"teamID": "T", "clientPaths": ["/opt/app"]})");
  ::chmod(path.c_str(), 0620);
  const std::pair<LoadedConfig, std::string> cases[] = {
      {loadHelperConfig(path, ::geteuid()), "is writable by others than root"},
      {loadHelperConfig(path, ::geteuid() + 1), "is not owned by root"},
      {loadHelperConfig(tmp / "missing.json", ::geteuid()), "cannot be read"},
      {loadHelperConfig(tmp.path(), ::geteuid()), "is not a regular file"},
  };
  for (const auto& [loaded, why] : cases) {
    EXPECT_EQ(loaded.config, HelperConfig{});
    ASSERT_EQ(loaded.notes.size(), 1u);
    EXPECT_NE(loaded.notes[0].find(": " + why + ", so no client is admitted"), std::string::npos)
        << loaded.notes[0];
  }
}

}  // namespace
}  // namespace kelvane
