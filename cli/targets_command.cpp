// `kelvane skip ID`, `queue PICK...`, `keep ID|PICK...` and `held
// confirm|discard`: the user's say over what the next sweep does.
#include <iostream>
#include <memory>

#include <CLI/CLI.hpp>

#include "cli/command.h"
#include "cli/sweep_command.h"

namespace kelvane::cli {
namespace {

using nlohmann::json;

void printRefused(const json& reply) {
  for (const auto& refused : reply.value("refused", json::array()))
    std::cout << "  not " << cell(refused.value("pick", ""), 80) << ": "
              << cell(refused.value("reason", ""), 120) << "\n";
}

const CommandRegistration kSkip("skip", [](CLI::App& app, int& exitCode) {
  auto* command = app.add_subcommand("skip", "Leave a planned action out of the next sweep");
  auto options = addSweepOptions(command);
  auto id = std::make_shared<std::string>();
  auto undo = std::make_shared<bool>(false);
  command->add_option("ID", *id, "The action's ID as kelvane sweep lists it (or its start)")
      ->required();
  command->add_flag("--undo", *undo, "Take the skip back");
  command->callback([=, &exitCode] {
    exitCode = sendRequest(
        *options, "skip", {{"op", *undo ? "unskip" : "skip"}, {"id", *id}},
        [undo](const json& reply) {
          std::cout << (*undo ? "The next sweep includes " : "The next sweep leaves out ")
                    << cell(reply.value("target", ""), 80) << " (" << reply.value("id", "")
                    << ").\n";
        });
  });
});

const CommandRegistration kQueue("queue", [](CLI::App& app, int& exitCode) {
  auto* command = app.add_subcommand(
      "queue",
      "Add targets to the next sweep: window:ID, app:PID, process:PID, tab:KEY, disk:RULE");
  auto options = addSweepOptions(command);
  auto picks = std::make_shared<std::vector<std::string>>();
  auto remove = std::make_shared<bool>(false);
  command->add_option("PICK", *picks, "What to add, e.g. process:4242 or disk:caches")->required();
  command->add_flag("--remove", *remove, "Take the picks off the queue again");
  command->callback([=, &exitCode] {
    exitCode =
        sendRequest(*options, "queue", {{"op", *remove ? "unqueue" : "queue"}, {"picks", *picks}},
                    [remove](const json& reply) {
                      if (*remove) {
                        std::cout << "Taken off the queue; still planned ones are skipped.\n";
                        return;
                      }
                      const auto queued = reply.value("queued", json::array());
                      std::cout << "Queued for the next sweep: " << queued.size() << "\n";
                      printRefused(reply);
                    });
  });
});

const CommandRegistration kKeep("keep", [](CLI::App& app, int& exitCode) {
  auto* command = app.add_subcommand("keep", "Never sweep a target again: add it to the allowlist");
  auto options = addSweepOptions(command);
  auto id = std::make_shared<std::string>();
  auto picks = std::make_shared<std::vector<std::string>>();
  auto* byID = command->add_option("ID", *id, "A planned action's ID as kelvane sweep lists it");
  auto* byPick = command->add_option("--pick", *picks, "Targets instead, such as app:4242");
  byID->excludes(byPick);
  command->callback([=, &exitCode] {
    if (id->empty() && picks->empty()) {
      std::cerr << "kelvane keep: name an action's ID, or --pick targets\n";
      exitCode = 2;
      return;
    }
    json request = {{"op", "keep"}};
    if (id->empty()) {
      request["picks"] = *picks;
    } else {
      request["id"] = *id;
    }
    exitCode = sendRequest(*options, "keep", request, [](const json& reply) {
      if (reply.contains("kept")) {
        std::cout << "Kept: " << reply["kept"].value("kind", "") << " "
                  << cell(reply["kept"].value("value", ""), 120) << " is now in the allowlist.\n";
      } else {
        std::cout << "New allowlist entries: " << reply.value("added", 0) << "\n";
      }
    });
  });
});

const CommandRegistration kHeld("held", [](CLI::App& app, int& exitCode) {
  auto* command = app.add_subcommand("held", "A sweep held back for your confirmation");
  command->require_subcommand(1);
  auto* confirm = command->add_subcommand("confirm", "Carry out the held sweep now");
  auto confirmOptions = addSweepOptions(confirm);
  confirm->callback([=, &exitCode] {
    exitCode = sendRequest(*confirmOptions, "held confirm", {{"op", "confirmHeld"}},
                           [](const json& reply) {
                             std::cout << "The held sweep ran:\n";
                             printResults(reply.value("results", json::array()), std::cout);
                           });
  });
  auto* discard = command->add_subcommand("discard", "Drop the held sweep");
  auto discardOptions = addSweepOptions(discard);
  discard->callback([=, &exitCode] {
    exitCode = sendRequest(*discardOptions, "held discard", {{"op", "discardHeld"}},
                           [](const json&) { std::cout << "The held sweep was dropped.\n"; });
  });
});

}  // namespace
}  // namespace kelvane::cli
