#include "helper/admission.h"

#include <algorithm>
#include <filesystem>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "helper/testing/temp_folder.h"

namespace kelvane {
namespace {

// Answers each check from a field and counts the checks asked.
struct FakeChecks final : AdmissionChecks {
  bool answers[4] = {true, true, true, true};
  int asked = 0;
  bool ask(int i) { return ++asked, answers[i]; }
  bool isAdmin(uint32_t) override { return ask(0); }
  std::optional<ClientRequirement> clientRequirement() override {
    return ask(1) ? std::optional<ClientRequirement>(ClientRequirement{"T", {}}) : std::nullopt;
  }
  bool hasHardenedRuntime(int32_t) override { return ask(2); }
  bool meetsRequirement(int32_t, const ClientRequirement&) override { return ask(3); }
};

TEST(Admission, ChecksInOrderAndStopsAtTheFirstRefusal) {
  const std::optional<std::string_view> lines[] = {Admission::kNotAdmin, Admission::kNoTeamID,
                                                   Admission::kNoHardenedRuntime,
                                                   Admission::kNotRequiredClient, std::nullopt};
  for (int failing = 0; failing < 5; ++failing) {
    FakeChecks checks;
    if (failing < 4) checks.answers[failing] = false;
    EXPECT_EQ(Admission::refusal(PeerIdentity{7, 1000}, checks), lines[failing]);
    EXPECT_EQ(checks.asked, std::min(failing + 1, 4));
  }
  FakeChecks checks;
  EXPECT_EQ(Admission::refusal(std::nullopt, checks), Admission::kNotAdmin);
}

TEST(ProcAdmissionChecks, ReadsTheClientFromTheProcessTable) {
  testing::TempFolder tmp;  // a process table holding process 42, which runs `app`
  const std::string app = tmp / "app", copy = tmp / "copy";
  testing::writeText(app, "#!/bin/sh\n");
  ::chmod(app.c_str(), 0755);
  std::filesystem::copy_file(app, copy);
  std::filesystem::create_directories(tmp / "proc/42");
  std::filesystem::create_symlink(app, tmp / "proc/42/exe");
  testing::writeText(tmp / "proc/42/stat",
                     "42 (app) S 1 42 42 0 -1 0 0 0 0 0 0 0 0 0 20 0 1 0 9 0 5");
  ProcAdmissionChecks checks(HelperConfig{}, tmp / "proc", ::geteuid());

  EXPECT_FALSE(checks.hasHardenedRuntime(42));  // no status to read
  for (const auto& [line, hardened] :
       std::vector<std::pair<std::string, bool>>{{"NoNewPrivs:\t1\n", true},
                                                 {"NoNewPrivs:\t0\n", false},
                                                 {"NoNewPrivs:\t10\n", false},
                                                 {"XNoNewPrivs:\t1\n", false}}) {
    testing::writeText(tmp / "proc/42/status",
                       "Name:\tapp\nUid:\t0\t0\t0\t0\n" + line + "Seccomp:\t0\n");
    EXPECT_EQ(checks.hasHardenedRuntime(42), hardened) << line;
  }

  EXPECT_TRUE(checks.meetsRequirement(42, {"T", {copy, app}}));
  EXPECT_FALSE(checks.meetsRequirement(42, {"T", {copy}}));  // same bytes, another file
  EXPECT_FALSE(checks.meetsRequirement(43, {"T", {app}}));
  ProcAdmissionChecks otherOwner(HelperConfig{}, tmp / "proc", ::geteuid() + 1);
  EXPECT_FALSE(otherOwner.meetsRequirement(42, {"T", {app}}));
  ::chmod(app.c_str(), 0775);
  EXPECT_FALSE(checks.meetsRequirement(42, {"T", {app}}));
}

TEST(ProcAdmissionChecks, AdministratorsAreRootAndTheGroupsMembers) {
  HelperConfig config;
  EXPECT_TRUE(ProcAdmissionChecks(config).isAdmin(0));
  const passwd* nobody = ::getpwnam("nobody");
  const group* primary = nobody ? ::getgrgid(nobody->pw_gid) : nullptr;
  if (!nobody || !primary) GTEST_SKIP() << "no nobody user to test with";
  const uid_t uid = nobody->pw_uid;
  for (const auto& [name, admin] : std::vector<std::pair<std::string, bool>>{
           {primary->gr_name, true}, {"root", false}, {"kelvane-no-such-group", false}}) {
    config.adminGroup = name;
    EXPECT_EQ(ProcAdmissionChecks(config).isAdmin(uid), admin) << name;
  }
  EXPECT_FALSE(ProcAdmissionChecks(config).isAdmin(3'999'999'999u));  // no such user
}

}  // namespace
}  // namespace kelvane
