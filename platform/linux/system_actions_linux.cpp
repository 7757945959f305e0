#include "platform/linux/system_actions_linux.h"

namespace kelvane {

LinuxSystemActions::LinuxSystemActions(ProcessStopper stopper, LinuxActionLayers layers,
                                       std::shared_ptr<const DiskCleaner> cleaner)
    : stopper_(std::move(stopper)), layers_(std::move(layers)), cleaner_(std::move(cleaner)) {}

Outcome LinuxSystemActions::closeWindow(const Action& action) {
  return layers_.closeWindow ? layers_.closeWindow(action) : Outcome::skipped("no display");
}

Outcome LinuxSystemActions::quitApp(const Action& action) {
  if (!layers_.quitApp) return Outcome::skipped("no display");
  return layers_.quitApp(action, [this](const Action& quitting) {
    return stopper_.stop(quitting.pid, quitting.started);
  });
}

Outcome LinuxSystemActions::stopProcess(const Action& action) {
  const auto ask =
      action.rule == Rule::session ? ProcessStopper::Ask::hangUp : ProcessStopper::Ask::terminate;
  return stopper_.stop(action.pid, action.started, ask);
}

Outcome LinuxSystemActions::closeTab(const Action& action) {
  return layers_.closeTab ? layers_.closeTab(action) : SystemActions::closeTab(action);
}

Outcome LinuxSystemActions::closeBrowserWindow(const Action& action) {
  return layers_.closeBrowserWindow ? layers_.closeBrowserWindow(action)
                                    : SystemActions::closeBrowserWindow(action);
}

Outcome LinuxSystemActions::cleanDisk(const Action& action) {
  return cleaner_ ? cleaner_->clean(action) : SystemActions::cleanDisk(action);
}

}  // namespace kelvane
