#pragma once
// InUse: which running programs hold a path: files they have open, Unix sockets
// bound at a path, and their working folders. A folder is in use when anything
// inside it is. The disk scan asks it before it proposes an item, and the cleanup
// asks again right before it touches one.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/linux/proc_reader.h"

namespace kelvane {

// One look at the process table; immutable, so it may be asked from any thread.
class InUse final {
 public:
  // Reads the process table once. Processes this user may not inspect are not
  // seen, apart from their sockets; `ignored` (this program itself) is left out.
  static InUse read(const ProcReader& reader = ProcReader(),
                    std::optional<int32_t> ignored = std::nullopt);
  // Builds the look from processes (with descriptors and working folders) and the
  // socket table, leaving out process `ignored`.
  static InUse from(const std::vector<ProcEntry>& processes,
                    const std::vector<ProcText::UnixSocket>& sockets,
                    std::optional<int32_t> ignored = std::nullopt);

  // Says why `path` may not be touched now, for the path itself or anything inside
  // it: "open in node (pid 42)", "working folder of zsh (pid 7)", "socket of
  // postgres (pid 9)", or "socket in use" when its holder cannot be seen. The path
  // is also tried with its folder's links resolved (the item itself is never
  // followed). nullopt when nothing holds it or the path is not absolute.
  [[nodiscard]] std::optional<std::string> reason(std::string_view path) const;

 private:
  // Records `reason` for `path` unless a process with a lower PID holds it already.
  void hold(std::string path, int32_t pid, std::string reason);
  std::optional<std::string> heldAt(const std::string& path) const;

  struct Holder {
    int32_t pid = 0;
    std::string reason;
  };
  std::map<std::string, Holder> held_;  // Sorted, so what lies inside a folder is one range.
};

}  // namespace kelvane
