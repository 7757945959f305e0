#pragma once
// The command-line tool's subcommands. Each *_command.cpp registers its
// subcommand with a static `CommandRegistration`, so adding a command touches
// no other file.
#include <functional>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace kelvane::cli {

// Adds one subcommand to the tool. `add` creates it on `app` and sets its
// callback; the callback stores the process exit status in `exitCode`.
using CommandAdder = std::function<void(CLI::App& app, int& exitCode)>;

struct CommandRegistration {
  CommandRegistration(std::string name, CommandAdder add);
};

// Every registered subcommand, sorted by name so that help output is stable.
std::vector<std::pair<std::string, CommandAdder>> registeredCommands();

}  // namespace kelvane::cli
