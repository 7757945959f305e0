#include "core/engine/observers.h"

#include <algorithm>

namespace kelvane {

uint64_t Observers::add(EngineProperty property, Observer observer) {
  const auto index = static_cast<size_t>(property);
  if (index >= kEnginePropertyCount || !observer) return 0;
  const uint64_t token = next_++;
  entries_[index].emplace_back(token, std::move(observer));
  return token;
}

void Observers::remove(uint64_t token) {
  for (Entries& entries : entries_)
    std::erase_if(entries, [token](const auto& entry) { return entry.first == token; });
}

void Observers::notify(EngineProperty property, Change change) const {
  // A copy, so that an observer that registers or leaves does not disturb the walk.
  const Entries entries = of(property);
  for (const auto& [token, observer] : entries) observer(property, change);
}

}  // namespace kelvane
