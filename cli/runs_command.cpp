// `kelvane runs`: the sweeps of the last day, newest first, with what each
// action came to.
#include <iostream>
#include <memory>

#include <CLI/CLI.hpp>

#include "cli/command.h"
#include "cli/sweep_command.h"

namespace kelvane::cli {
namespace {

const CommandRegistration kRuns("runs", [](CLI::App& app, int& exitCode) {
  auto* command =
      app.add_subcommand("runs", "The sweeps of the last day, newest first, with results");
  auto options = addSweepOptions(command);
  command->callback([=, &exitCode] {
    exitCode = sendRequest(*options, "runs", {{"op", "runs"}}, [](const nlohmann::json& reply) {
      const auto runs = reply.value("runs", nlohmann::json::array());
      if (runs.empty()) {
        std::cout << "No sweep ran in the last day.\n";
        return;
      }
      std::cout << "Sweeps of the last day, newest first (" << runs.size() << "):\n";
      printRuns(runs, Date::now(), Calendar::current(), std::cout);
    });
  });
});

}  // namespace
}  // namespace kelvane::cli
