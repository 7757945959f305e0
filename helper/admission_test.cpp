#include "helper/admission.h"

#include <filesystem>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "helper/testing/temp_folder.h"

namespace kelvane {
namespace {

using testing::TempFolder;
using testing::writeText;

// Answers each check from a field and records which checks were asked.
struct FakeChecks final : AdmissionChecks {
  bool admin = true, teamID = true, hardened = true, required = true;
  std::vector<std::string> asked;
  bool isAdmin(uint32_t) override { return note("admin", admin); }
  std::optional<ClientRequirement> clientRequirement() override {
    asked.push_back("team");
    if (!teamID) return std::nullopt;
    return ClientRequirement{"T", {"/opt/app"}};
  }
  bool hasHardenedRuntime(int32_t) override { return note("runtime", hardened); }
  bool meetsRequirement(int32_t, const ClientRequirement&) override {
    return note("requirement", required);
  }
  bool note(const char* check, bool answer) {
    asked.push_back(check);
    return answer;
  }
};

TEST(Admission, ChecksInOrderAndStopsAtTheFirstRefusal) {
  const PeerIdentity peer{1234, 1000};
  struct Case {
    bool admin, team, hardened, required;
    std::optional<std::string_view> line;
    size_t checksAsked;
  };
  const Case cases[] = {
      {false, false, false, false, Admission::kNotAdmin, 1},
      {true, false, false, false, Admission::kNoTeamID, 2},
      {true, true, false, false, Admission::kNoHardenedRuntime, 3},
      {true, true, true, false, Admission::kNotRequiredClient, 4},
      {true, true, true, true, std::nullopt, 4},
  };
  for (const auto& c : cases) {
    FakeChecks checks;
    checks.admin = c.admin;
    checks.teamID = c.team;
    checks.hardened = c.hardened;
    checks.required = c.required;
    EXPECT_EQ(Admission::refusal(peer, checks), c.line);
    EXPECT_EQ(checks.asked.size(), c.checksAsked);
  }
  FakeChecks checks;
  EXPECT_EQ(Admission::refusal(std::nullopt, checks), Admission::kNotAdmin);
  EXPECT_EQ(Admission::kNotAdmin,
            "KelvaneProxyHelper: refusing a connection from a non-admin user");
  EXPECT_EQ(Admission::kNoTeamID,
            "KelvaneProxyHelper: refusing connections, the helper has no Team ID to match");
  EXPECT_EQ(Admission::kNoHardenedRuntime,
            "KelvaneProxyHelper: refusing a client without the hardened runtime");
}

TEST(Admission, PeerComesFromTheKernel) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  const auto peer = Admission::peerOf(fds[0]);
  ::close(fds[0]);
  ::close(fds[1]);
  ASSERT_TRUE(peer);
  EXPECT_EQ(peer->pid, ::getpid());
  EXPECT_EQ(peer->uid, ::geteuid());
  EXPECT_EQ(Admission::peerOf(-1), std::nullopt);
}

// A process table with one process, 42, whose status and executable the test sets.
struct FakeProc {
  TempFolder tmp;
  std::string app = tmp / "app";
  FakeProc() {
    std::filesystem::create_directories(tmp / "proc/42");
    writeText(app, "#!/bin/sh\n");
    ::chmod(app.c_str(), 0755);
    std::filesystem::create_symlink(app, tmp / "proc/42/exe");
  }
  ProcAdmissionChecks checks(uid_t owner = ::geteuid()) {
    return ProcAdmissionChecks(HelperConfig{}, tmp / "proc", owner);
  }
  void status(const std::string& noNewPrivs) {
    writeText(tmp / "proc/42/status",
              "Name:\tapp\nUid:\t0\t0\t0\t0\n" + noNewPrivs + "Seccomp:\t0\n");
  }
};

TEST(ProcAdmissionChecks, HardenedRuntimeIsTheNoNewPrivsFlag) {
  FakeProc proc;
  auto checks = proc.checks();
  EXPECT_FALSE(checks.hasHardenedRuntime(42));  // no status at all
  proc.status("NoNewPrivs:\t1\n");
  EXPECT_TRUE(checks.hasHardenedRuntime(42));
  for (const char* line : {"NoNewPrivs:\t0\n", "NoNewPrivs:\t10\n", "", "XNoNewPrivs:\t1\n"}) {
    proc.status(line);
    EXPECT_FALSE(checks.hasHardenedRuntime(42)) << line;
  }
  EXPECT_FALSE(checks.hasHardenedRuntime(43));
}

TEST(ProcAdmissionChecks, RequirementIsTheVeryFileAtAClientPath) {
  FakeProc proc;
  auto checks = proc.checks();
  const std::string copy = proc.tmp / "copy";
  std::filesystem::copy_file(proc.app, copy);
  std::filesystem::create_symlink(proc.app, proc.tmp / "link");
  EXPECT_TRUE(checks.meetsRequirement(42, {"T", {copy, proc.app}}));
  EXPECT_TRUE(checks.meetsRequirement(42, {"T", {proc.tmp / "link"}}));
  EXPECT_FALSE(checks.meetsRequirement(42, {"T", {copy}}));  // same bytes, another file
  EXPECT_FALSE(checks.meetsRequirement(42, {"T", {}}));
  EXPECT_FALSE(checks.meetsRequirement(43, {"T", {proc.app}}));
  EXPECT_FALSE(proc.checks(::geteuid() + 1).meetsRequirement(42, {"T", {proc.app}}));
  for (const mode_t mode : {0775, 0757}) {
    ::chmod(proc.app.c_str(), mode);
    EXPECT_FALSE(checks.meetsRequirement(42, {"T", {proc.app}})) << std::oct << mode;
  }
}

TEST(ProcAdmissionChecks, AdministratorsAreRootAndTheGroupsMembers) {
  HelperConfig config;
  config.teamID = "T";
  config.clientPaths = {"/opt/app"};
  EXPECT_TRUE(ProcAdmissionChecks(config).isAdmin(0));
  EXPECT_EQ(ProcAdmissionChecks(config).clientRequirement(),
            (ClientRequirement{"T", {"/opt/app"}}));
  EXPECT_EQ(ProcAdmissionChecks(HelperConfig{}).clientRequirement(), std::nullopt);

  const passwd* nobody = ::getpwnam("nobody");
  const group* primary = nobody ? ::getgrgid(nobody->pw_gid) : nullptr;
  if (!nobody || !primary) GTEST_SKIP() << "no nobody user to test with";
  const uid_t uid = nobody->pw_uid;
  config.adminGroup = primary->gr_name;  // a user's primary group counts
  EXPECT_TRUE(ProcAdmissionChecks(config).isAdmin(uid));
  config.adminGroup = "kelvane-no-such-group";
  EXPECT_FALSE(ProcAdmissionChecks(config).isAdmin(uid));
  config.adminGroup = "root";
  EXPECT_FALSE(ProcAdmissionChecks(config).isAdmin(uid));
  EXPECT_FALSE(ProcAdmissionChecks(config).isAdmin(3'999'999'999u));  // no such user
}

}  // namespace
}  // namespace kelvane
