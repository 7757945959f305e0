#include "cli/schedule_command.h"

#include <charconv>
#include <iostream>
#include <memory>

#include <CLI/CLI.hpp>

#include "cli/command.h"
#include "cli/control_route.h"
#include "cli/sweep_command.h"

namespace kelvane::cli {
namespace {

using nlohmann::json;

std::string until(const json& reply, const char* key) {
  const auto at = Date::fromISO8601(reply.value(key, ""));
  return at ? untilText(*at, Date::now(), Calendar::current()) : "until you resume";
}

std::string moment(const json& reply, const char* key) {
  const auto at = Date::fromISO8601(reply.value(key, ""));
  return at ? whenText(*at, Date::now(), Calendar::current()) : "?";
}

int pause(const SweepOptions& common, const std::string& duration) {
  json request = {{"op", "pause"}};
  if (!duration.empty()) {
    const auto seconds = parseDuration(duration);
    if (!seconds) {
      std::cerr << "kelvane pause: not a duration: " << duration
                << " (write it as 30m, 2h, 1h30m or 1d)\n";
      return 2;
    }
    request["for"] = *seconds;
  }
  return sendRequest(common, "pause", request, [](const json& reply) {
    std::cout << "Sweeps are paused " << until(reply, "pausedUntil")
              << ". Runs started by hand still run; kelvane resume ends the pause.\n";
  });
}

const CommandRegistration kPause("pause", [](CLI::App& app, int& exitCode) {
  auto* command =
      app.add_subcommand("pause", "Pause scheduled sweeps, for a while or until resumed");
  auto common = addSweepOptions(command);
  auto duration = std::make_shared<std::string>();
  command->add_option("DURATION", *duration,
                      "How long, e.g. 30m, 2h, 1h30m, 1d (default: until resumed)");
  command->callback([=, &exitCode] { exitCode = pause(*common, *duration); });
});

const CommandRegistration kResume("resume", [](CLI::App& app, int& exitCode) {
  auto* command = app.add_subcommand("resume", "End a pause of the scheduled sweeps");
  auto common = addSweepOptions(command);
  command->callback([=, &exitCode] {
    exitCode = sendRequest(*common, "resume", {{"op", "resume"}},
                           [](const json&) { std::cout << "Sweeps run on schedule again.\n"; });
  });
});

const CommandRegistration kCancel("cancel", [](CLI::App& app, int& exitCode) {
  auto* command = app.add_subcommand("cancel", "Skip the next scheduled sweep (only that one)");
  auto common = addSweepOptions(command);
  auto undo = std::make_shared<bool>(false);
  command->add_flag("--undo", *undo, "Let the next sweep run after all");
  command->callback([=, &exitCode] {
    if (*undo) {
      exitCode = sendRequest(*common, "cancel", {{"op", "undoCancel"}},
                             [](const json&) { std::cout << "The next sweep will run.\n"; });
      return;
    }
    exitCode = sendRequest(*common, "cancel", {{"op", "cancelNextRun"}}, [](const json& reply) {
      std::cout << "The sweep at " << moment(reply, "cancelledRunAt")
                << " will be skipped; later ones run as usual (kelvane cancel --undo).\n";
    });
  });
});

const CommandRegistration kLearning("learning", [](CLI::App& app, int& exitCode) {
  auto* command = app.add_subcommand(
      "learning", "The learning period, in which sweeps record what they would do");
  command->require_subcommand(1);
  auto* end = command->add_subcommand("end", "End learning now: the next sweeps act");
  auto common = addSweepOptions(end);
  end->callback([=, &exitCode] {
    exitCode = sendRequest(*common, "learning end", {{"op", "endLearning"}}, [](const json&) {
      std::cout << "Learning has ended: scheduled sweeps now act (kelvane sweep shows what they "
                   "would do).\n";
    });
  });
});

}  // namespace

std::optional<double> parseDuration(std::string_view text) {
  if (text.empty()) return std::nullopt;
  double total = 0;
  while (!text.empty()) {
    uint64_t count = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), count);
    if (ec != std::errc() || end == text.data() + text.size()) return std::nullopt;
    double unit = 0;
    switch (*end) {
      case 's':
        unit = 1;
        break;
      case 'm':
        unit = 60;
        break;
      case 'h':
        unit = 3600;
        break;
      case 'd':
        unit = 86400;
        break;
      case 'w':
        unit = 604800;
        break;
      default:
        return std::nullopt;
    }
    total += static_cast<double>(count) * unit;
    text.remove_prefix(static_cast<size_t>(end - text.data()) + 1);
  }
  if (!(total > 0)) return std::nullopt;
  return total;
}

}  // namespace kelvane::cli
