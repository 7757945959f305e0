#pragma once
// Checks a test runs in a child process of its own: one that must end by itself (a
// scan that waits forever fails the test instead of hanging it), or one that must run
// as an unprivileged user (permissions do not hold for root).
#include <filesystem>
#include <functional>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include "core/disk/testing/fake_home.h"

namespace kelvane {

// Runs `check` in a child and returns whether it returned true within `seconds`; a child
// still running then is ended by its own alarm.
inline bool passesInChild(const std::function<bool()>& check, unsigned seconds = 60,
                          const std::function<bool()>& setup = {}) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::alarm(seconds);
    ::_exit((!setup || setup()) && check() ? 0 : 1);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

// Runs `check` in a child as the user "nobody", with the home handed to that user, when
// the tests run as root; as this user otherwise. Returns whether it passed.
inline bool passesAsNobody(const FakeHome& home, const std::function<bool()>& check) {
  if (::geteuid() != 0) return passesInChild(check);
  constexpr uid_t kNobody = 65534;
  namespace fs = std::filesystem;
  for (const auto& entry : fs::recursive_directory_iterator(home.path()))
    if (::lchown(entry.path().c_str(), kNobody, kNobody) != 0) return false;
  if (::lchown(home.path().c_str(), kNobody, kNobody) != 0) return false;
  return passesInChild(check, 60, [] {
    return ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0;
  });
}

}  // namespace kelvane
