#include "cli/sweep_command.h"

#include <algorithm>
#include <array>
#include <iostream>
#include <memory>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli/agent_events.h"
#include "cli/command.h"
#include "cli/control_route.h"
#include "cli/support_folder.h"
#include "core/config/format.h"
#include "core/support/text.h"
#include "platform/linux/browser_source.h"

namespace kelvane::cli {
namespace {

using nlohmann::json;

constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<const char*, 7> kWeekdays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

// Characters a terminal shows for UTF-8 text (combining and wide ones aside).
size_t width(std::string_view text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

std::string padded(const std::string& text, size_t to) {
  const size_t w = width(text);
  return w >= to ? text : text + std::string(to - w, ' ');
}

std::optional<Date> dateAt(const json& j, const char* key) {
  const auto it = j.find(key);
  if (it == j.end() || !it->is_string()) return std::nullopt;
  return Date::fromISO8601(it->get<std::string>());
}

std::string text(const json& j, const char* key) {
  const auto it = j.find(key);
  return it != j.end() && it->is_string() ? it->get<std::string>() : "";
}

// A table whose columns are as wide as their widest cell, up to a limit each.
class Table {
 public:
  struct Column {
    std::string title;
    size_t limit = 40;
    bool right = false;
  };
  explicit Table(std::vector<Column> columns) : columns_(std::move(columns)) {}
  void add(std::vector<std::string> row) {
    for (size_t i = 0; i < row.size() && i < columns_.size(); ++i)
      row[i] = cell(row[i], columns_[i].limit);
    rows_.push_back(std::move(row));
  }
  void print(std::ostream& out) const {
    std::vector<size_t> widths;
    for (const auto& c : columns_) widths.push_back(width(c.title));
    for (const auto& row : rows_)
      for (size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], width(row[i]));
    const auto line = [&](const std::vector<std::string>& cells) {
      std::string text = " ";
      for (size_t i = 0; i < cells.size(); ++i) {
        const size_t w = width(cells[i]);
        const std::string gap(widths[i] > w ? widths[i] - w : 0, ' ');
        text += "  " + (columns_[i].right ? gap + cells[i] : cells[i] + gap);
      }
      while (!text.empty() && text.back() == ' ') text.pop_back();
      out << text << "\n";
    };
    std::vector<std::string> titles;
    for (const auto& c : columns_) titles.push_back(c.title);
    line(titles);
    for (const auto& row : rows_) line(row);
  }

 private:
  std::vector<Column> columns_;
  std::vector<std::vector<std::string>> rows_;
};

void printHeader(const json& s, Date now, const Calendar& calendar, std::ostream& out) {
  const std::string folder = cell(text(s, "folder"), 200);
  const json& agent = s.contains("agent") ? s["agent"] : json();
  if (agent.is_object()) {
    out << "Agent running on " << folder << " (pid " << agent.value("pid", 0) << ", ticks every "
        << AgentEvents::period(agent.value("tickSeconds", 60.0));
    if (const auto since = dateAt(agent, "startedAt"))
      out << ", since " << whenText(*since, now, calendar);
    out << ")\n";
    if (!agent.value("acts", true))
      out << "It runs as root, so its runs record what they would do and act on nothing.\n";
    if (agent.contains("testClockSpeed")) out << "It runs on a test clock.\n";
  } else {
    out << "No agent runs on " << folder << ". This is a look of this command's own;\n"
        << "idle times count from earlier looks. To sweep, " << kStartAgent << ".\n";
  }
  if (s.contains("snapshot")) {
    const json& snap = s["snapshot"];
    out << "Last look";
    if (const auto at = dateAt(snap, "at")) out << " " << whenText(*at, now, calendar);
    out << ": " << snap.value("processes", 0) << " processes, ";
    if (snap.value("windowsKnown", false)) {
      out << snap.value("windows", 0) << " windows, ";
    } else {
      out << "windows unknown (no X display), ";
    }
    out << snap.value("tabs", 0) << " browser tabs\n";
  }
}

void printNextRun(const json& s, Date now, const Calendar& calendar, std::ostream& out) {
  const auto next = dateAt(s, "nextRunAt");
  if (!next) return;
  out << "Next run: " << whenText(*next, now, calendar) << " (in " << Format::duration(*next - now)
      << "), every " << Format::duration(s.value("scheduleMinutes", 15) * 60.0) << ". ";
  const std::string mode = text(s, "nextRunMode");
  if (mode == "paused") {
    const auto until = dateAt(s, "pausedUntil");
    out << "Paused " << (until ? untilText(*until, now, calendar) : "") << ": it will not run"
        << " (kelvane resume).\n";
  } else if (mode == "cancelled") {
    out << "Cancelled: that slot will be skipped (kelvane cancel --undo).\n";
  } else if (mode == "learning") {
    const auto until = dateAt(s, "learningUntil");
    out << "Learning until " << (until ? whenText(*until, now, calendar) : "?")
        << ": it records what it would do and acts on nothing (kelvane learning end).\n";
  } else {
    out << "It will act on what is listed below.\n";
  }
  if (s.value("running", false)) out << "A run is in progress.\n";
}

std::string marks(const json& action) {
  std::string text;
  for (const auto& mark : action.value("marks", json::array()))
    if (mark.is_string()) text += (text.empty() ? "" : ",") + mark.get<std::string>();
  return text;
}

std::vector<std::string> actionRow(const json& a) {
  const uint64_t memory = a.value("memory", uint64_t{0});
  return {text(a, "id"), text(a, "rule"), text(a, "target"), text(a, "reason"),
          memory ? Format::bytes(memory) : ""};
}

void printPlan(const json& s, std::ostream& out) {
  const json& plan = s.contains("plan") ? s["plan"] : json::array();
  if (plan.empty()) {
    out << "\nNothing would be swept now.\n";
  } else {
    out << "\nWhat the next run would do (" << plan.size() << "):\n";
    Table table({{"ID", 36},
                 {"RULE", 14},
                 {"TARGET", 40},
                 {"WHY", 32},
                 {"MEMORY", 10, true},
                 {"MARK", 20}});
    bool marked = false;
    for (const auto& action : plan) {
      auto row = actionRow(action);
      row.push_back(marks(action));
      marked = marked || !row.back().empty();
      table.add(std::move(row));
    }
    table.print(out);
    if (marked)
      out << "  held: waits for your confirmation; skipped: left out of the next run;"
             " queued: you picked it\n";
  }
  const json& blocked = s.contains("blocked") ? s["blocked"] : json::array();
  if (blocked.empty()) return;
  out << "\nBlocked: planned, but left alone (" << blocked.size() << "):\n";
  Table table({{"ID", 36}, {"RULE", 14}, {"TARGET", 40}, {"WHY", 40}});
  for (const auto& action : blocked)
    table.add(
        {text(action, "id"), text(action, "rule"), text(action, "target"), text(action, "why")});
  table.print(out);
}

void printNeedsYou(const json& s, Date now, const Calendar& calendar, std::ostream& out) {
  std::vector<std::string> lines;
  if (s.contains("held")) {
    const json& held = s["held"];
    const auto at = dateAt(held, "at");
    lines.push_back("A run held " + (at ? whenText(*at, now, calendar) : std::string()) + " " +
                    text(held, "reason") + " (" +
                    std::to_string(held.value("actions", json::array()).size()) +
                    " actions): kelvane held confirm, or kelvane held discard");
  }
  for (const auto& line : s.value("needsYou", json::array()))
    if (line.is_string()) lines.push_back(line.get<std::string>());
  if (s.contains("snapshot"))
    for (const auto& browser : s["snapshot"].value("automationDenied", json::array()))
      if (browser.is_string())
        lines.push_back(browser.get<std::string>() + ": its tabs cannot be read; " +
                        kRemoteDebuggingHint);
  if (s.value("configReadOnly", false))
    lines.push_back("config.json could not be set aside for repair: settings are not saved");
  if (lines.empty()) return;
  out << "\nNeeds you:\n";
  for (const auto& line : lines) out << "  " << cell(line, 400) << "\n";
}

void printDiskRun(const json& s, std::ostream& out) {
  if (!s.contains("diskRun")) return;
  const json& run = s["diskRun"];
  const json& rows = run.value("rows", json::object());
  size_t finished = 0;
  for (const auto& [row, status] : rows.items())
    if (status.value("status", "") == "finished") ++finished;
  out << "\nDisk cleanup: " << finished << " of " << rows.size() << " rows done";
  if (run.contains("current")) out << ", cleaning " << text(run, "current");
  if (run.value("stopping", false)) {
    out << ", stopping";
  } else if (run.value("paused", false)) {
    out << (run.value("holding", false) ? ", paused" : ", pausing after this item");
  }
  out << ", " << Format::fileBytes(run.value("freed", int64_t{0})) << " freed\n";
}

std::string countText(size_t count, const std::string& noun) {
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

std::string resultsSummary(const json& actions) {
  size_t done = 0, attention = 0;
  for (const auto& r : actions) {
    const std::string result = text(r, "result");
    if (result == "done") ++done;
    if (result.starts_with("needs you") || result.starts_with("failed")) ++attention;
  }
  std::string text = std::to_string(done) + " done";
  if (attention) text += ", " + std::to_string(attention) + " need you";
  const size_t other = actions.size() - done - attention;
  if (other) text += ", " + std::to_string(other) + " not carried out";
  return text;
}

int runSweep(const std::string& folder, bool now, bool asJson) {
  const auto path = supportFolder(folder).dir;
  const Calendar calendar = Calendar::current();
  if (now)
    return printedReply(cli::runNow(path), "sweep --now", asJson, [&](const json& reply) {
      const json& runs = reply.value("runs", json::array());
      if (runs.empty()) std::cout << "No run was recorded.\n";
      printRuns(runs, Date::now(), calendar, std::cout);
    });
  return printedReply(route(path, {{"op", "state"}}), "sweep", asJson,
                      [&](const json& state) { printSweep(state, calendar, std::cout); });
}

const CommandRegistration kSweep("sweep", [](CLI::App& app, int& exitCode) {
  auto* command = app.add_subcommand(
      "sweep", "Show what the next sweep would do and why; --now runs one at once");
  auto now = std::make_shared<bool>(false);
  command->add_flag("--now", *now, "Run a sweep now and print its results");
  auto options = addSweepOptions(command);
  command->callback([=, &exitCode] { exitCode = runSweep(options->folder, *now, options->json); });
});

}  // namespace

std::shared_ptr<SweepOptions> addSweepOptions(CLI::App* command) {
  auto options = std::make_shared<SweepOptions>();
  command->add_option("--data", options->folder,
                      "Support folder (default: KELVANE_DATA or the home one)");
  command->add_flag("--json", options->json, "Print the reply as JSON");
  return options;
}

int sendRequest(const SweepOptions& options, const std::string& name, const json& request,
                const std::function<void(const json&)>& print) {
  return printedReply(route(supportFolder(options.folder).dir, request), name, options.json, print);
}

std::string whenText(Date at, Date now, const Calendar& calendar) {
  if (at >= Date::distantFuture() - 86400) return "until you resume";
  const LocalTime t = calendar.local(at), today = calendar.local(now);
  char clock[8];
  std::snprintf(clock, sizeof clock, "%02d:%02d", t.hour % 100, t.minute % 100);
  const std::string month = kMonths[static_cast<size_t>(std::clamp(t.month, 1, 12) - 1)];
  if (calendar.sameDay(at, now)) return clock;
  if (t.year == today.year)
    return std::string(kWeekdays[static_cast<size_t>(std::clamp(t.weekday, 1, 7) - 1)]) + " " +
           std::to_string(t.day) + " " + month + " " + clock;
  return std::to_string(t.day) + " " + month + " " + std::to_string(t.year) + " " + clock;
}

std::string untilText(Date at, Date now, const Calendar& calendar) {
  const std::string when = whenText(at, now, calendar);
  return when.starts_with("until") ? when : "until " + when;
}

std::string cell(std::string_view raw, size_t limit) {
  std::string text = Text::validUtf8(raw);
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  if (width(text) <= limit || limit == 0) return text;
  // Cut at a character boundary, leaving room for the ellipsis.
  size_t kept = 0, at = 0;
  while (at < text.size() && kept < limit - 1) {
    ++at;
    while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
    ++kept;
  }
  return text.substr(0, at) + "…";
}

void printSweep(const json& state, const Calendar& calendar, std::ostream& out) {
  const Date now = dateAt(state, "now").value_or(Date::now());
  printHeader(state, now, calendar, out);
  printNextRun(state, now, calendar, out);
  printPlan(state, out);
  printNeedsYou(state, now, calendar, out);
  printDiskRun(state, out);
  const json& runs = state.value("runs", json::array());
  if (!runs.empty()) {
    const json& last = runs.front();
    const auto at = dateAt(last, "at");
    out << "\nLast run: " << (at ? whenText(*at, now, calendar) : "?") << ", " << text(last, "mode")
        << ", " << countText(last.value("actions", json::array()).size(), "action") << " ("
        << runs.size() << " today; kelvane runs lists them)\n";
  }
}

void printRuns(const json& runs, Date now, const Calendar& calendar, std::ostream& out) {
  for (const auto& run : runs) {
    const json& actions = run.value("actions", json::array());
    const auto at = dateAt(run, "at");
    const std::string mode = text(run, "mode");
    out << padded(at ? whenText(*at, now, calendar) : "?", 5) << "  " << padded(mode, 9) << "  ";
    if (actions.empty()) {
      out << (mode == "live" ? "nothing to do" : "no actions") << "\n";
      continue;
    }
    out << actions.size() << (actions.size() == 1 ? " action" : " actions");
    if (mode == "live") out << ": " << resultsSummary(actions);
    out << "\n";
    printResults(actions, out);
  }
}

void printResults(const json& results, std::ostream& out) {
  for (const auto& r : results) {
    const json& action = r.value("action", json::object());
    out << "    " << padded(cell(text(r, "result"), 40), 10) << "  "
        << cell(text(action, "target"), 50) << " (" << cell(text(action, "reason"), 50) << ")\n";
    if (r.contains("note")) out << "        note: " << cell(text(r, "note"), 200) << "\n";
    if (r.contains("undo")) out << "        undo: " << cell(text(r, "undo"), 200) << "\n";
  }
}

}  // namespace kelvane::cli
