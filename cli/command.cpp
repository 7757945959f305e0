#include "cli/command.h"

#include <algorithm>
#include <utility>

namespace kelvane::cli {
namespace {

// A function-local registry, so that registrations in other files' static
// initialisers never run before it exists.
std::vector<std::pair<std::string, CommandAdder>>& registry() {
  static std::vector<std::pair<std::string, CommandAdder>> commands;
  return commands;
}

}  // namespace

CommandRegistration::CommandRegistration(std::string name, CommandAdder add) {
  registry().emplace_back(std::move(name), std::move(add));
}

std::vector<std::pair<std::string, CommandAdder>> registeredCommands() {
  auto commands = registry();
  std::sort(commands.begin(), commands.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  return commands;
}

}  // namespace kelvane::cli
