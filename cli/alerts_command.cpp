// `kelvane alerts quiet KEY|never APP|again APP`: usage alerts.
#include <iostream>
#include <memory>

#include <CLI/CLI.hpp>

#include "cli/command.h"
#include "cli/sweep_command.h"

namespace kelvane::cli {
namespace {

struct AlertVerb {
  const char* name;
  const char* help;
  const char* op;
  const char* key;  // The request's argument.
  const char* argument;
  const char* done;
};

constexpr AlertVerb kVerbs[] = {
    {"quiet", "No alerts about it until tomorrow", "quietForToday", "key", "KEY",
     "No alerts about it until tomorrow."},
    {"never", "Never alert about an application again", "neverAlert", "app", "APP",
     "It will never be alerted about (kelvane alerts again undoes it)."},
    {"again", "Alert about an application again", "alertAgain", "app", "APP",
     "It can be alerted about again."},
};

const CommandRegistration kAlerts("alerts", [](CLI::App& app, int& exitCode) {
  auto* command = app.add_subcommand(
      "alerts", "Usage alerts: APP or KEY is the application's identifier or name, or pressure");
  command->require_subcommand(1);
  for (const AlertVerb& verb : kVerbs) {
    auto* sub = command->add_subcommand(verb.name, verb.help);
    auto options = addSweepOptions(sub);
    auto value = std::make_shared<std::string>();
    sub->add_option(verb.argument, *value,
                    "As the alert names it (\"pressure\" for memory pressure)")
        ->required();
    sub->callback([=, &exitCode] {
      exitCode = sendRequest(*options, std::string("alerts ") + verb.name,
                             {{"op", verb.op}, {verb.key, *value}},
                             [&verb](const nlohmann::json&) { std::cout << verb.done << "\n"; });
    });
  }
});

}  // namespace
}  // namespace kelvane::cli
