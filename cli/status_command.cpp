#include "cli/status_command.h"

#include <iostream>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "cli/command.h"
#include "core/support/json_coding.h"

namespace kelvane::cli {
namespace {

constexpr double kDay = 86400;
constexpr double kClosedTabsDays = 30;

// Adds the keys of `stored` whose values differ in `repaired`, nested objects
// key by key, as dotted names.
void collectDifferences(const nlohmann::json& stored, const nlohmann::json& repaired,
                        const std::string& prefix, std::vector<std::string>& out) {
  for (const auto& [key, value] : stored.items()) {
    const auto it = repaired.find(key);
    if (it == repaired.end()) continue;  // Unknown keys are ignored, not repaired.
    if (value.is_object() && it->is_object()) {
      collectDifferences(value, *it, prefix + key + ".", out);
    } else if (value != *it) {
      out.push_back(prefix + key);
    }
  }
}

// The lenient reading of config.json, with a line saying what was repaired.
Config readConfig(const Store& store, Date now, std::ostream& out) {
  const auto text = store.read("config.json");
  if (!text) {
    out << "config.json: none, the defaults of a first start are shown\n";
    return Config::fresh(now);
  }
  const auto j = nlohmann::json::parse(*text, nullptr, false);
  const auto config = j.is_discarded() ? std::nullopt : Config::fromJSON(j, now);
  if (!config) {
    out << "config.json: not a JSON object, the defaults of a first start are shown\n";
    return Config::fresh(now);
  }
  const auto repaired = repairedKeys(j, *config);
  if (repaired.empty()) {
    out << "config.json: read as written\n";
  } else {
    out << "config.json: repaired";
    for (const auto& key : repaired) out << (&key == &repaired.front() ? " " : ", ") << key;
    out << " (the file is left as it is)\n";
  }
  return *config;
}

void printSettings(const Config& config, std::ostream& out) {
  const nlohmann::json j = config;
  for (const auto& [key, value] : j.items())
    out << "  " << key << ": " << encodeJson(value).value_or("?") << "\n";
}

void printRuns(const Store& store, Date now, std::ostream& out) {
  const auto runs = store.runs(now - kDay);
  out << "Runs in the last day: " << runs.size() << "\n";
  for (const auto& run : runs) {
    out << "  " << run.at.iso8601() << "  " << rawValue(run.mode) << "  " << run.actions.size()
        << (run.actions.size() == 1 ? " action" : " actions") << "\n";
    for (const auto& result : run.actions)
      out << "    " << rawValue(result.action.rule) << "  " << result.action.target << "  "
          << result.action.reason << "  -> " << result.result << "\n";
  }
}

void printClosedTabs(const Store& store, Date now, std::ostream& out) {
  auto tabs = store.lines<ClosedTab>(kClosedTabsFile);
  std::erase_if(tabs, [&](const ClosedTab& t) { return t.at < now - kClosedTabsDays * kDay; });
  out << "Closed tabs in the last 30 days: " << tabs.size() << "\n";
  for (const auto& tab : tabs)
    out << "  " << tab.at.iso8601() << "  " << tab.browser << "  " << tab.title << "  " << tab.url
        << "\n";
}

const CommandRegistration kStatus("status", [](CLI::App& app, int& exitCode) {
  auto* command = app.add_subcommand("status", "Show the support folder, settings and recent runs");
  auto folder = std::make_shared<std::string>();
  command->add_option("--data", *folder, "Support folder (default: KELVANE_DATA or the home one)");
  command->callback([folder, &exitCode] {
    const Store store(folder->empty() ? Store::defaultDir() : std::filesystem::path(*folder));
    printStatus(store, Date::now(), std::cout);
    exitCode = 0;
  });
});

}  // namespace

std::vector<std::string> repairedKeys(const nlohmann::json& original, const Config& config) {
  std::vector<std::string> out;
  if (!original.is_object()) return out;
  collectDifferences(original, nlohmann::json(config), "", out);
  if (!original.contains("learningUntil")) out.push_back("learningUntil (missing)");
  return out;
}

void printStatus(const Store& store, Date now, std::ostream& out) {
  out << "Support folder: " << store.dir.string() << "\n";
  const Config config = readConfig(store, now, out);
  out << "Settings:\n";
  printSettings(config, out);
  printRuns(store, now, out);
  printClosedTabs(store, now, out);
}

}  // namespace kelvane::cli
