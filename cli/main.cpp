// kelvane: the command-line tool. Subcommands register themselves (command.h).
#include <CLI/CLI.hpp>

#include "cli/command.h"

int main(int argc, char** argv) {
  CLI::App app{"kelvane: keeps a developer's machine tidy"};
  app.require_subcommand(1);
  int exitCode = 0;
  for (const auto& [name, add] : kelvane::cli::registeredCommands()) add(app, exitCode);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  }
  return exitCode;
}
