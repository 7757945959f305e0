// `kelvane agent`: the long-running program that sweeps this machine.
#include <iostream>
#include <memory>

#include <CLI/CLI.hpp>

#include "cli/agent_loop.h"
#include "cli/command.h"
#include "cli/control_route.h"
#include "cli/support_folder.h"

namespace kelvane::cli {
namespace {

struct Settings {
  std::string folder;
  double tick = 60;
  bool noDiskScan = false;
  std::string clockStart;
  double clockSpeed = 1;
};

int startAgent(const Settings& s) {
  AgentOptions options{.folder = supportFolder(s.folder).dir,
                       .tickSeconds = s.tick,
                       .scanDisk = !s.noDiskScan,
                       .clockSpeed = s.clockSpeed};
  if (!s.clockStart.empty()) {
    options.clockStart = Date::fromISO8601(s.clockStart);
    if (!options.clockStart) {
      std::cerr << "kelvane agent: --test-clock-start is not a date: " << s.clockStart << "\n";
      return 2;
    }
  }
  return runAgent(options);
}

const CommandRegistration kAgent("agent", [](CLI::App& app, int& exitCode) {
  auto* command = app.add_subcommand(
      "agent",
      "Sweep this machine: tick the engine, run the scheduled sweeps, answer the commands");
  auto s = std::make_shared<Settings>();
  command->add_option("--data", s->folder,
                      "Support folder (default: KELVANE_DATA or the home one)");
  command->add_option("--tick", s->tick, "Seconds between looks at the machine")
      ->check(CLI::Range(0.05, 3600.0));
  command->add_flag("--no-disk-scan", s->noDiskScan,
                    "Do not scan the home folder (disk rules then plan nothing)");
  const std::string testing = "For tests only (never read from config.json)";
  command
      ->add_option("--test-clock-start", s->clockStart,
                   "The moment the agent's clock starts at (ISO 8601)")
      ->group(testing);
  command
      ->add_option("--test-clock-speed", s->clockSpeed,
                   "Seconds of the agent's clock per real second")
      ->check(CLI::Range(0.001, 10000.0))
      ->group(testing);
  command->callback([s, &exitCode] { exitCode = startAgent(*s); });
});

}  // namespace
}  // namespace kelvane::cli
