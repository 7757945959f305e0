#include "cli/spaces_command.h"

#include <iostream>
#include <memory>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "cli/command.h"
#include "cli/text_table.h"
#include "platform/linux/x11_desktop.h"
#include "platform/linux/x11_layout.h"

namespace kelvane::cli {
namespace {

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const auto& word : words) text += (text.empty() ? "" : ", ") + word;
  return text.empty() ? "—" : text;
}

std::string hexID(uint32_t id) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", id);
  return text;
}

struct SpacesOptions {
  std::string display;
  bool json = false;
  int desktop = 0;
};

std::optional<std::string> displayOf(const SpacesOptions& o) {
  return o.display.empty() ? std::nullopt : std::optional(o.display);
}

int show(const SpacesOptions& o) {
  auto x = X11Connection::open(displayOf(o));
  if (!x) {
    std::cerr << "kelvane spaces: " << x.error() << "\n";
    return 1;
  }
  const auto view = X11Desktop::look(**x);
  if (!view) {
    std::cerr << "kelvane spaces: " << view.error() << "\n";
    return 1;
  }
  const auto names = X11Desktop::desktopNames(**x);
  const auto report = spacesReport(*view, names ? *names : std::vector<std::string>{});
  if (o.json)
    std::cout << spacesJson(report).dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
              << "\n";
  else
    printSpaces(report, std::cout);
  return 0;
}

int go(const SpacesOptions& o) {
  auto x = X11Connection::open(displayOf(o));
  if (!x) {
    std::cerr << "kelvane spaces: " << x.error() << "\n";
    return 1;
  }
  if (o.desktop < 1) {
    std::cerr << "kelvane spaces: desktops are counted from 1\n";
    return 2;
  }
  const auto done = X11Desktop::switchTo(**x, uint32_t(o.desktop - 1));
  if (!done) {
    std::cerr << "kelvane spaces: " << done.error() << "\n";
    return 1;
  }
  std::cout << "Showing Desktop " << o.desktop << "\n";
  return 0;
}

const CommandRegistration kSpaces("spaces", [](CLI::App& app, int& exitCode) {
  auto* command =
      app.add_subcommand("spaces", "List the desktops of each display and their windows");
  auto o = std::make_shared<SpacesOptions>();
  command->add_option("--display", o->display, "X display (default: DISPLAY)");
  command->add_flag("--json", o->json, "Print JSON");
  auto* goTo = command->add_subcommand("go", "Show desktop N (as numbered in the list)");
  goTo->add_option("N", o->desktop, "Desktop number, from 1")->required();
  goTo->add_option("--display", o->display, "X display (default: DISPLAY)");
  command->callback([o, goTo, &exitCode] { exitCode = goTo->parsed() ? go(*o) : show(*o); });
});

}  // namespace

SpacesReport spacesReport(const DesktopView& view, std::vector<std::string> desktopNames) {
  SpacesReport report{.windows = view.windows, .names = std::move(desktopNames)};
  if (!view.spaces) return report;
  report.displays = Spaces::displays(*view.spaces);
  report.rows = Spaces::rows(*view.spaces, view.windowSpaces, view.windows);
  report.labels = Spaces::windowLabels(report.rows, report.displays, view.windowSpaces);
  return report;
}

void printSpaces(const SpacesReport& report, std::ostream& out) {
  if (report.rows.empty()) {
    out << "The window manager shows no desktops.\n";
    return;
  }
  for (const auto& display : report.displays) {
    out << "Display " << shown(display.name) << "\n";
    TextTable table(
        {{""}, {"Desktop"}, {"Name"}, {"Windows", TextTable::Align::right}, {"Applications"}});
    for (const auto& row : report.rows) {
      if (row.display != display.id) continue;
      const auto number = X11Layout::desktopOf(row.id);
      const std::string name = number && *number < report.names.size() ? report.names[*number] : "";
      table.add(
          {row.current ? "*" : "", row.label, name, std::to_string(row.windows), joined(row.apps)});
    }
    table.print(out, 2);
    out << "\n";
  }
  out << "* shown now. `kelvane spaces go N` shows Desktop N.\n";
  if (report.windows.empty()) return;
  out << "\nWindows, front to back\n";
  TextTable windows({{"Window"}, {"Application"}, {"Title"}, {"Where"}});
  for (const auto& w : report.windows) {
    const auto label = report.labels.find(w.id);
    windows.add({hexID(w.id), w.app, w.title,
                 label == report.labels.end() ? "—" : label->second.shortText});
  }
  windows.print(out, 2);
}

nlohmann::json spacesJson(const SpacesReport& report) {
  auto displays = nlohmann::json::array();
  for (const auto& d : report.displays)
    displays.push_back({{"id", d.id}, {"name", d.name}, {"short", d.shortName}});
  auto rows = nlohmann::json::array();
  for (const auto& r : report.rows)
    rows.push_back({{"id", r.id},
                    {"label", r.label},
                    {"current", r.current},
                    {"windows", r.windows},
                    {"windowIDs", r.windowIDs},
                    {"apps", r.apps},
                    {"empty", r.empty},
                    {"display", r.display}});
  auto windows = nlohmann::json::array();
  for (const auto& w : report.windows) {
    nlohmann::json j{{"id", w.id}, {"pid", w.pid}, {"app", w.app}, {"title", w.title}};
    if (const auto label = report.labels.find(w.id); label != report.labels.end())
      j["label"] = {{"short", label->second.shortText}, {"full", label->second.full}};
    windows.push_back(std::move(j));
  }
  return {{"displays", displays}, {"spaces", rows}, {"windows", windows}};
}

}  // namespace kelvane::cli
