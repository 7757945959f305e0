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

// Answers each check from a field and counts the checks asked. An answer of
// nullopt is a check that cannot be made.
struct FakeChecks final : AdmissionChecks {
  std::optional<bool> answers[4] = {true, true, true, true};
  int asked = 0;
  CheckAnswer ask(int i) {
    ++asked;
    if (!answers[i]) return Unexpected<std::string>("check " + std::to_string(i) + " failed");
    return *answers[i];
  }
  CheckAnswer isAdmin(uint32_t) override { return ask(0); }
  std::optional<ClientRequirement> clientRequirement() override {
    return ask(1).value_or(false) ? std::optional<ClientRequirement>(ClientRequirement{"T", {}})
                                  : std::nullopt;
  }
  CheckAnswer hasHardenedRuntime(int32_t) override { return ask(2); }
  CheckAnswer meetsRequirement(int32_t, const ClientRequirement&) override { return ask(3); }
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
}

TEST(Admission, ACheckThatCannotBeMadeIsLoggedAsSuchNotAsARefusalReason) {
  const std::string unchecked(Admission::kUnchecked);
  for (const int failing : {0, 2, 3}) {
    FakeChecks checks;
    checks.answers[failing] = std::nullopt;
    EXPECT_EQ(Admission::refusal(PeerIdentity{7, 1000}, checks),
              unchecked + "check " + std::to_string(failing) + " failed");
    EXPECT_EQ(checks.asked, failing + 1);
  }
  FakeChecks checks;
  EXPECT_EQ(Admission::refusal(std::nullopt, checks),
            unchecked + "the kernel does not say which process it is");
  EXPECT_EQ(checks.asked, 0);
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

  // No status to read: no answer, and the reason says why.
  EXPECT_EQ(checks.hasHardenedRuntime(42).error(),
            "its process status cannot be read: No such file or directory");
  for (const auto& [line, hardened] :
       std::vector<std::pair<std::string, bool>>{{"NoNewPrivs:\t1\n", true},
                                                 {"NoNewPrivs:\t0\n", false},
                                                 {"NoNewPrivs:\t10\n", false},
                                                 {"XNoNewPrivs:\t1\n", false}}) {
    testing::writeText(tmp / "proc/42/status",
                       "Name:\tapp\nUid:\t0\t0\t0\t0\n" + line + "Seccomp:\t0\n");
    EXPECT_EQ(checks.hasHardenedRuntime(42).value(), hardened) << line;
  }

  EXPECT_TRUE(checks.meetsRequirement(42, {"T", {copy, app}}).value());
  EXPECT_FALSE(checks.meetsRequirement(42, {"T", {copy}}).value());  // same bytes, another file
  EXPECT_EQ(checks.meetsRequirement(43, {"T", {app}}).error(),
            "its program cannot be inspected: the process has ended");
  ProcAdmissionChecks otherOwner(HelperConfig{}, tmp / "proc", ::geteuid() + 1);
  EXPECT_FALSE(otherOwner.meetsRequirement(42, {"T", {app}}).value());
  ::chmod(app.c_str(), 0775);
  EXPECT_FALSE(checks.meetsRequirement(42, {"T", {app}}).value());
}

TEST(ProcAdmissionChecks, AdministratorsAreRootAndTheGroupsMembers) {
  HelperConfig config;
  EXPECT_TRUE(ProcAdmissionChecks(config).isAdmin(0).value());
  const passwd* nobody = ::getpwnam("nobody");
  const group* primary = nobody ? ::getgrgid(nobody->pw_gid) : nullptr;
  if (!nobody || !primary) GTEST_SKIP() << "no nobody user to test with";
  const uid_t uid = nobody->pw_uid;
  for (const auto& [name, admin] : std::vector<std::pair<std::string, bool>>{
           {primary->gr_name, true}, {"root", false}, {"kelvane-no-such-group", false}}) {
    config.adminGroup = name;
    EXPECT_EQ(ProcAdmissionChecks(config).isAdmin(uid).value(), admin) << name;
  }
  EXPECT_FALSE(ProcAdmissionChecks(config).isAdmin(3'999'999'999u).value());  // no such user
}

}  // namespace
}  // namespace kelvane
