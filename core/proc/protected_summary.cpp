#include "core/proc/protected_summary.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

#include "core/config/allowlist.h"
#include "core/planning/guards.h"

namespace kelvane::ProtectedSummary {
namespace {

using Kind = ProtectedRow::Kind;

constexpr std::array<Kind, 6> kDisplayOrder{Kind::otherUsers, Kind::system, Kind::core,
                                            Kind::helpers,    Kind::inUse,  Kind::unknown};
constexpr size_t kExamples = 3;

std::optional<Kind> kindOf(std::string_view reason) {
  if (reason == "other user") return Kind::otherUsers;
  if (reason == "system") return Kind::system;
  if (reason == "protected") return Kind::core;
  if (reason == "in use") return Kind::inUse;
  if (reason == "unknown path") return Kind::unknown;
  if (reason.starts_with("helper of ")) return Kind::helpers;
  return std::nullopt;
}

ProtectedRow row(Kind kind, std::vector<const Proc*> members) {
  // Stable, so that equally large processes keep the snapshot's order.
  std::stable_sort(members.begin(), members.end(),
                   [](const Proc* a, const Proc* b) { return a->rss > b->rss; });
  ProtectedRow out{.kind = kind, .count = static_cast<int64_t>(members.size())};
  for (const Proc* proc : members) {
    if (out.examples.size() == kExamples) break;
    if (std::find(out.examples.begin(), out.examples.end(), proc->name) == out.examples.end())
      out.examples.push_back(proc->name);
  }
  return out;
}

}  // namespace

std::vector<ProtectedRow> rows(const Snapshot& snapshot) {
  const Allowlist nothingAllowed;
  const Guards::Checker guard(snapshot, nothingAllowed);
  std::array<std::vector<const Proc*>, kDisplayOrder.size()> byKind;
  for (const auto& proc : snapshot.procs) {
    const auto reason = guard.block(proc, /*window=*/false);
    if (const auto kind = reason ? kindOf(*reason) : std::nullopt)
      byKind[static_cast<size_t>(*kind)].push_back(&proc);
  }
  std::vector<ProtectedRow> out;
  for (const Kind kind : kDisplayOrder) {
    auto& members = byKind[static_cast<size_t>(kind)];
    if (!members.empty() || kind == Kind::core || kind == Kind::inUse)
      out.push_back(row(kind, std::move(members)));
  }
  return out;
}

}  // namespace kelvane::ProtectedSummary
