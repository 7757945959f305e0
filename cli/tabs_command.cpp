#include "cli/tabs_command.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/stsearch.h>
#include <unicode/tblcoll.h>
#include <unicode/unistr.h>

#include "cli/command.h"
#include "cli/control_protocol.h"
#include "cli/control_route.h"
#include "core/support/text.h"
#include "platform/linux/browser_actions.h"
#include "platform/linux/browser_procs.h"
#include "platform/linux/browser_source.h"

namespace kelvane::cli {
namespace {

constexpr double kKeptSeconds = 30 * 86400.0;

// A text as it can be shown on one line of a terminal.
std::string shown(std::string_view text) {
  std::string line = Text::validUtf8(text);
  for (char& c : line)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return line;
}

// Finds a query in texts the way the user's language compares them with case
// and accents set aside: the collator of the "localized standard" comparison
// at its primary strength. Without a collator, lower-cased text is searched.
class TextSearch {
 public:
  explicit TextSearch(std::string_view query)
      : query_(icu::UnicodeString::fromUTF8(icu::StringPiece(query.data(), int32_t(query.size())))),
        lowered_(Text::lowercased(query)) {
    icu::Locale locale = icu::Locale::getDefault();
    if (locale.isBogus() || std::strcmp(locale.getVariant(), "POSIX") == 0)
      locale = icu::Locale::getRoot();
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(locale, status));
    if (U_FAILURE(status) || !dynamic_cast<icu::RuleBasedCollator*>(collator.get())) return;
    collator_.reset(static_cast<icu::RuleBasedCollator*>(collator.release()));
    collator_->setStrength(icu::Collator::PRIMARY);  // neither case nor accents count
  }

  bool found(std::string_view text) const {
    if (query_.isEmpty()) return true;
    if (!collator_) return Text::lowercased(text).find(lowered_) != std::string::npos;
    const auto haystack =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), int32_t(text.size())));
    UErrorCode status = U_ZERO_ERROR;
    icu::StringSearch search(query_, haystack, collator_.get(), nullptr, status);
    return U_SUCCESS(status) && search.first(status) != USEARCH_DONE && U_SUCCESS(status);
  }

 private:
  icu::UnicodeString query_;
  std::string lowered_;
  std::unique_ptr<icu::RuleBasedCollator> collator_;
};

Date newest(const ClosedTabGroup& group) {
  Date at = group.tabs.front().at;
  for (const ClosedTab& tab : group.tabs) at = std::max(at, tab.at);
  return at;
}

Store storeAt(const std::string& folder) {
  return Store(folder.empty() ? Store::defaultDir() : std::filesystem::path(folder));
}

int runList(const Store& store, const std::string& query, bool json) {
  const auto groups = searchClosedTabs(
      closedTabGroups(store.lines<ClosedTab>(kClosedTabsFile), Date::now()), query);
  if (json)
    std::cout << closedTabsJson(groups).dump(2, ' ', false,
                                             nlohmann::json::error_handler_t::replace)
              << "\n";
  else
    printClosedTabs(groups, std::cout);
  return 0;
}

// The entries every argument names, each once; nullopt (after saying which)
// when an argument names none.
std::optional<std::vector<ClosedTab>> namedByAll(const std::vector<ClosedTab>& entries,
                                                 const std::vector<std::string>& ids,
                                                 std::set<Uuid>& seen) {
  std::vector<ClosedTab> out;
  for (const std::string& id : ids) {
    const auto named = namedClosedTabs(entries, id);
    if (named.empty()) {
      std::cerr << "kelvane tabs: no closed tab or group " << shown(id) << "\n";
      return std::nullopt;
    }
    for (const ClosedTab& tab : named)
      if (seen.insert(tab.id).second) out.push_back(tab);
  }
  return out;
}

int runForget(const Store& store, const std::vector<std::string>& ids) {
  std::set<Uuid> forgotten;
  if (!namedByAll(store.lines<ClosedTab>(kClosedTabsFile), ids, forgotten)) return 1;
  if (const auto written = forgetClosedTabs(store, forgotten); !written) {
    std::cerr << "kelvane tabs: " << written.error().message << "\n";
    return 1;
  }
  std::cout << "Forgot " << forgotten.size() << (forgotten.size() == 1 ? " tab" : " tabs") << "\n";
  return 0;
}

// Opens one argument's tabs: a group in a new window, a single tab in the
// browser's last window. Returns the IDs of those that opened.
std::set<Uuid> reopenNamed(const BrowserActions& actions, const std::vector<ClosedTab>& tabs,
                           bool asWindow, std::optional<int32_t> pid) {
  std::set<Uuid> opened;
  std::map<std::string, std::vector<const ClosedTab*>> byBrowser;  // One window per browser.
  for (const ClosedTab& tab : tabs) byBrowser[tab.browser].push_back(&tab);
  for (const auto& [browser, list] : byBrowser) {
    std::vector<TabToOpen> toOpen;
    for (const ClosedTab* tab : list) toOpen.push_back({tab->url, tab->profile});
    const auto results = actions.reopen(browser, toOpen, asWindow, pid);
    for (size_t i = 0; i < list.size(); ++i) {
      if (!results[i]) {
        opened.insert(list[i]->id);
        continue;
      }
      std::cerr << "kelvane tabs: not reopened: " << shown(list[i]->url) << ": " << *results[i]
                << "\n";
      if (results[i]->ends_with(kRemoteDebuggingOff))
        std::cerr << "kelvane tabs: to let kelvane reach it, " << kRemoteDebuggingHint << "\n";
    }
  }
  return opened;
}

int runReopen(const Store& store, const std::vector<std::string>& ids, std::optional<int32_t> pid) {
  const auto entries = store.lines<ClosedTab>(kClosedTabsFile);
  std::set<Uuid> asked;
  if (!namedByAll(entries, ids, asked)) return 1;
  const BrowserAccess access = BrowserAccess::forThisUser();
  const BrowserActions actions(access, [me = access.me] { return BrowserProcs::running(me); });
  std::set<Uuid> tried, opened;
  for (const std::string& id : ids) {
    auto tabs = namedClosedTabs(entries, id);
    const bool group = tabs.front().id != Uuid::parse(id);
    std::erase_if(tabs, [&](const ClosedTab& tab) { return !tried.insert(tab.id).second; });
    if (!tabs.empty()) opened.merge(reopenNamed(actions, tabs, group, pid));
  }
  std::cout << "Reopened " << opened.size() << " of " << asked.size()
            << (asked.size() == 1 ? " tab" : " tabs") << "\n";
  // Only what opened again is forgotten; the rest stays to be tried again.
  if (const auto written = forgetClosedTabs(store, opened); !written) {
    std::cerr << "kelvane tabs: " << written.error().message << "\n";
    return 1;
  }
  return opened.size() == asked.size() ? 0 : 1;
}

const CommandRegistration kTabs("tabs", [](CLI::App& app, int& exitCode) {
  auto* command = app.add_subcommand(
      "tabs", "The tabs sweeps closed in the last 30 days; reopen or forget them");
  command->require_subcommand(0, 1);
  auto folder = std::make_shared<std::string>();
  auto query = std::make_shared<std::string>();
  auto json = std::make_shared<bool>(false);
  command->add_option("--data", *folder, "Support folder (default: KELVANE_DATA or the home one)");
  command->add_option("--search", *query, "Only tabs whose title or address holds TEXT");
  command->add_flag("--json", *json, "Print the groups as JSON");

  auto reopenIDs = std::make_shared<std::vector<std::string>>();
  auto pid = std::make_shared<int32_t>(0);
  auto* reopen = command->add_subcommand(
      "reopen", "Open closed tabs again: a group in a new window; then forget them");
  reopen->fallthrough();  // --data may follow the IDs.
  reopen->add_option("ID", *reopenIDs, "A closed tab's or a group's ID")->required();
  reopen->add_option("--pid", *pid, "The browser process to open them in (default: any)");
  reopen->callback([=, &exitCode] {
    exitCode = runReopen(storeAt(*folder), *reopenIDs,
                         *pid > 0 ? std::optional<int32_t>(*pid) : std::nullopt);
  });

  auto forgetIDs = std::make_shared<std::vector<std::string>>();
  auto* forget = command->add_subcommand("forget", "Forget closed tabs (or whole groups)");
  forget->fallthrough();
  forget->add_option("ID", *forgetIDs, "A closed tab's or a group's ID")->required();
  forget->callback([=, &exitCode] { exitCode = runForget(storeAt(*folder), *forgetIDs); });

  command->callback([=, &exitCode] {
    if (command->get_subcommands().empty()) exitCode = runList(storeAt(*folder), *query, *json);
  });
});

}  // namespace

std::vector<ClosedTabGroup> closedTabGroups(const std::vector<ClosedTab>& entries, Date now) {
  std::vector<ClosedTabGroup> groups;
  std::map<Uuid, size_t> at;  // Group ID to its place in `groups`.
  for (const ClosedTab& tab : entries) {
    if (tab.at < now - kKeptSeconds) continue;
    if (!tab.group) {
      groups.push_back({std::nullopt, {tab}});
      continue;
    }
    const auto [it, added] = at.emplace(*tab.group, groups.size());
    if (added) groups.push_back({tab.group, {}});
    groups[it->second].tabs.push_back(tab);
  }
  std::stable_sort(groups.begin(), groups.end(),
                   [](const auto& a, const auto& b) { return newest(b) < newest(a); });
  return groups;
}

std::vector<ClosedTabGroup> searchClosedTabs(std::vector<ClosedTabGroup> groups,
                                             std::string_view query) {
  const TextSearch search(query);
  for (ClosedTabGroup& group : groups)
    std::erase_if(group.tabs, [&](const ClosedTab& tab) {
      return !search.found(tab.title) && !search.found(tab.url);
    });
  std::erase_if(groups, [](const ClosedTabGroup& group) { return group.tabs.empty(); });
  return groups;
}

void printClosedTabs(const std::vector<ClosedTabGroup>& groups, std::ostream& out) {
  if (groups.empty()) out << "No closed tabs in the last 30 days.\n";
  for (const ClosedTabGroup& group : groups) {
    const ClosedTab& first = group.tabs.front();
    out << newest(group).iso8601() << "  " << shown(first.browser);
    if (group.group) out << "  window " << group.group->text();
    out << "  (" << group.tabs.size() << (group.tabs.size() == 1 ? " tab)\n" : " tabs)\n");
    for (const ClosedTab& tab : group.tabs) {
      out << "  " << tab.id.text() << "  " << shown(tab.title.empty() ? tab.url : tab.title);
      if (tab.profile) out << "  [" << shown(tab.profile->name) << "]";
      out << "\n      " << shown(tab.url) << "\n";
    }
  }
}

nlohmann::json closedTabsJson(const std::vector<ClosedTabGroup>& groups) {
  nlohmann::json out = nlohmann::json::array();
  for (const ClosedTabGroup& group : groups) {
    nlohmann::json j{{"tabs", group.tabs}};
    if (group.group) j["group"] = *group.group;
    out.push_back(std::move(j));
  }
  return out;
}

std::vector<ClosedTab> namedClosedTabs(const std::vector<ClosedTab>& entries, std::string_view id) {
  std::vector<ClosedTab> out;
  const auto uuid = Uuid::parse(id);
  if (!uuid) return out;
  for (const ClosedTab& tab : entries)
    if (tab.id == *uuid) return {tab};
  for (const ClosedTab& tab : entries)
    if (tab.group == *uuid) out.push_back(tab);
  return out;
}

StoreResult forgetClosedTabs(const Store& store, const std::set<Uuid>& ids) {
  if (ids.empty()) return {};
  // A running agent keeps the log in memory too: it forgets them itself.
  const auto reply = throughAgentOr(
      store.dir, {{"op", "forgetClosedTabs"}, {"ids", ids}},
      [&]() -> Result<nlohmann::json, std::string> {
        const auto written = store.rewriteLines<ClosedTab>(
            kClosedTabsFile, [&](const ClosedTab& tab) { return !ids.contains(tab.id); });
        if (!written) return Unexpected(written.error().message);
        return Control::okReply();
      });
  if (!reply) return Unexpected(StoreError{reply.error()});
  if (!reply->value("ok", false)) return Unexpected(StoreError{reply->value("error", "failed")});
  return {};
}

}  // namespace kelvane::cli
