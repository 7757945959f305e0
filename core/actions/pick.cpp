#include "core/actions/pick.h"

#include "core/support/hashing.h"

size_t std::hash<kelvane::Pick>::operator()(const kelvane::Pick& pick) const noexcept {
  using kelvane::Pick;
  const size_t payload = std::visit(
      [](const auto& c) -> size_t {
        using Case = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<Case, Pick::Window>) return kelvane::hashOf(c.id);
        if constexpr (std::is_same_v<Case, Pick::Tab>) return kelvane::hashOf(c.tab);
        if constexpr (std::is_same_v<Case, Pick::App> || std::is_same_v<Case, Pick::Process>)
          return kelvane::hashOf(c.pid);
        if constexpr (std::is_same_v<Case, Pick::Disk>) return kelvane::hashOf(c.rule);
      },
      pick.value());
  return kelvane::hashValues(pick.value().index(), payload);
}
