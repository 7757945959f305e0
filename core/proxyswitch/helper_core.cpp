#include "core/proxyswitch/helper_core.h"

#include <utility>

#include "core/proxyswitch/proxy_settings.h"

namespace kelvane {
namespace {

// An earlier saved copy wins, so a second enable (say, to another port) never
// replaces the user's own settings with our first switch's; services that
// appeared since are added as they are now. A damaged copy is replaced by the
// current settings with our proxy turned off.
SettingsSet settingsToSave(const std::optional<std::vector<uint8_t>>& existing,
                           const SettingsSet& current) {
  if (!existing) return current;
  if (const auto decoded = ProxySettings::decode(*existing))
    return ProxySettings::merging(*decoded, current);
  return ProxySettings::disablingLoopbackEverywhere(current);
}

}  // namespace

HelperCore::HelperCore(ProxyPrefsStore& prefs, SaveFileStore& file, PortProbe portAlive)
    : prefs_(prefs), file_(file), portAlive_(std::move(portAlive)) {}

std::optional<std::string> HelperCore::enable(std::string_view host, int64_t port) {
  if (!ProxySettings::isLoopbackProxy(host, port)) return "Invalid proxy address";
  const auto current = prefs_.read();
  if (!current || current->empty()) return "Can't open the network settings";

  const SettingsSet saved = settingsToSave(file_.load(), *current);
  const auto data = ProxySettings::encode(saved);
  if (!data || !file_.store(*data)) return "Can't save the current proxy settings";

  SettingsSet target;
  for (const auto& [id, config] : *current)
    target.emplace(id, ProxySettings::applying(config, host, port));
  switch (prefs_.write(target)) {
    case PrefsWrite::applied:
      clearState();
      for (const auto& [id, config] : *current) touched_.insert(id);
      port_ = int(port);
      return std::nullopt;
    case PrefsWrite::notCommitted:
      restore();
      return "Can't change the network settings";
    case PrefsWrite::committedNotApplied:
      restore();
      return "Can't apply the network settings";
  }
  return "Can't change the network settings";
}

bool HelperCore::restore() {
  const auto data = file_.load();
  if (!data) {
    clearState();
    return true;
  }
  const auto current = prefs_.read();
  if (!current || current->empty()) return false;
  // A damaged file still turns our proxy off.
  const auto saved = ProxySettings::decode(*data);
  const SettingsSet target = saved ? ProxySettings::restoring(*saved, *current)
                                   : ProxySettings::disablingLoopbackEverywhere(*current);
  if (prefs_.write(target) != PrefsWrite::applied) return false;
  file_.remove();
  clearState();
  return true;
}

void HelperCore::restoreLeftover() {
  if (file_.load()) restore();
}

void HelperCore::tick() {
  if (!applied()) return;
  ++ticks_;
  if (!port_ || !portAlive_(*port_)) {
    // deadTicks_ is left as it is when the restore fails, so every later tick retries.
    if (++deadTicks_ >= kDeadTicks) {
      restore();
      return;
    }
  } else {
    deadTicks_ = 0;
  }
  if (ticks_ % kTamperCheckEvery == 0 && port_) checkTampering();
}

bool HelperCore::applied() const { return file_.load().has_value(); }

void HelperCore::clearState() {
  touched_.clear();
  port_.reset();
  ticks_ = 0;
  deadTicks_ = 0;
  tampered_ = false;
}

void HelperCore::checkTampering() {
  const auto current = prefs_.read();
  if (!current) return;
  bool changed = false;
  for (const auto& id : touched_) {
    const auto it = current->find(id);  // services removed since are skipped
    if (it != current->end() &&
        !ProxySettings::isOurs(it->second, ProxySettings::kLoopbackHost, *port_))
      changed = true;
  }
  tampered_ = changed;
}

}  // namespace kelvane
