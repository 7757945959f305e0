#include "platform/linux/browser_connection.h"

#include <algorithm>
#include <cstdlib>
#include <pwd.h>
#include <set>
#include <thread>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "core/support/file_io.h"
#include "platform/linux/browser_procs.h"
#include "platform/linux/browser_profiles.h"
#include "platform/linux/devtools_endpoint.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using Error = Unexpected<std::string>;

// How often a closing tab is looked for again.
constexpr auto kClosePoll = std::chrono::milliseconds(20);

std::optional<std::string> switchValue(const std::vector<std::string>& args,
                                       std::string_view name) {
  const auto it = std::find_if(args.rbegin(), args.rend(),
                               [&](const std::string& arg) { return arg.starts_with(name); });
  if (it == args.rend() || it->size() == name.size()) return std::nullopt;
  return it->substr(name.size());
}

const nlohmann::json* member(const nlohmann::json& j, const char* key) {
  if (!j.is_object()) return nullptr;
  const auto it = j.find(key);
  return it == j.end() ? nullptr : &*it;
}

std::string textOr(const nlohmann::json& j, const char* key, std::string fallback) {
  const auto* value = member(j, key);
  return value && value->is_string() ? value->get<std::string>() : fallback;
}

// The window of a Browser.getWindowForTarget answer, with its bounds.
std::optional<std::pair<int64_t, ScreenFrame>> windowOf(const nlohmann::json& answer) {
  const auto* id = member(answer, "windowId");
  if (!id || !id->is_number_integer()) return std::nullopt;
  ScreenFrame frame;
  if (const auto* bounds = member(answer, "bounds")) {
    const auto number = [&](const char* key) {
      const auto* v = member(*bounds, key);
      return v && v->is_number() ? v->get<double>() : 0.0;
    };
    frame = {number("left"), number("top"), number("width"), number("height")};
  }
  return std::pair{id->get<int64_t>(), frame};
}

// The ID of the page shown last: the HTTP listing puts the most recently
// shown page first. nullopt when no page is listed.
Result<std::optional<std::string>, std::string> lastShownPage(const DevToolsClient& client) {
  const auto list = client.getJson("/json/list");
  if (!list) return Error(list.error());
  if (!list->is_array()) return Error("the page list is not a list");
  for (const auto& page : *list)
    if (textOr(page, "type", "") == "page") {
      const auto id = textOr(page, "id", "");
      if (!id.empty()) return std::optional<std::string>(id);
    }
  return std::optional<std::string>();
}

// The front window first, then the others by ID; tabs by position.
void sortTabs(BrowserTabs& read) {
  const auto rank = [&](const TabTarget& t) {
    return std::tuple(read.frontWindow != t.windowID, t.windowID, t.index);
  };
  std::stable_sort(read.tabs.begin(), read.tabs.end(),
                   [&](const TabTarget& a, const TabTarget& b) { return rank(a) < rank(b); });
}

}  // namespace

BrowserAccess BrowserAccess::forThisUser() {
  BrowserAccess access{.me = static_cast<uint32_t>(::getuid())};
  const char* config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') {
    access.configHome = config;
  } else {
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
      const passwd* entry = ::getpwuid(::getuid());
      home = entry ? entry->pw_dir : nullptr;
    }
    if (home && *home) access.configHome = fs::path(home) / ".config";
  }
  return access;
}

std::vector<RunningBrowser> runningBrowsers(const std::vector<Proc>& procs,
                                            const BrowserAccess& access) {
  std::vector<RunningBrowser> out;
  for (const Proc* proc : browserProcesses(procs)) {
    if (proc->uid != access.me || !proc->bundleID) continue;
    auto args = access.args ? access.args(proc->pid) : BrowserProcs::args(proc->pid);
    if (!isBrowserProcess(args)) continue;
    auto kind = *chromiumBrowser(proc->path);
    kind.bundleID = *proc->bundleID;  // The identifier the process was given wins.
    out.push_back({*proc, std::move(kind), std::move(args)});
  }
  return out;
}

Result<std::vector<TabTarget>, std::string> parseTabTargets(const nlohmann::json& answer) {
  const auto* infos = member(answer, "targetInfos");
  if (!infos || !infos->is_array()) return Error("the tab list is malformed");
  std::vector<TabTarget> tabs;
  for (const auto& info : *infos) {
    if (textOr(info, "type", "") != "tab") continue;
    TabTarget tab{.id = textOr(info, "targetId", ""),
                  .url = textOr(info, "url", ""),
                  .title = textOr(info, "title", ""),
                  .context = textOr(info, "browserContextId", "")};
    if (tab.id.empty()) return Error("the tab list is malformed");
    const auto* data = member(info, "embedderData");
    const auto* index = data ? member(*data, "tabStripIndex") : nullptr;
    const auto* active = data ? member(*data, "tabActive") : nullptr;
    if (!index || !index->is_number_integer() || !active || !active->is_boolean())
      return Error("the browser does not tell where its tabs are");
    tab.index = index->get<int64_t>();
    tab.active = active->get<bool>();
    tabs.push_back(std::move(tab));
  }
  return tabs;
}

BrowserConnection::BrowserConnection(std::unique_ptr<DevToolsClient> client,
                                     std::optional<fs::path> userDataDir,
                                     std::optional<std::string> profileSwitch)
    : client_(std::move(client)),
      userDataDir_(std::move(userDataDir)),
      profileSwitch_(std::move(profileSwitch)) {}

Result<BrowserConnection, std::string> BrowserConnection::open(const RunningBrowser& browser,
                                                               const BrowserAccess& access,
                                                               Clock::time_point deadline) {
  // Without its arguments (it is quitting) the browser's folder is unknown.
  const auto dataDir = browser.args.empty()
                           ? std::nullopt
                           : DevToolsEndpoints::userDataDir(browser.args, browser.proc.cwd,
                                                            browser.kind, access.configHome);
  std::optional<DevToolsEndpoint> endpoint;
  if (const auto port = access.ports.find(browser.kind.bundleID); port != access.ports.end())
    endpoint = DevToolsEndpoint{.port = port->second};
  else if (dataDir)
    if (const auto text = readWholeFile(*dataDir / DevToolsEndpoints::kActivePortFile))
      endpoint = DevToolsEndpoints::parseActivePort(*text);
  if (!endpoint) return Error(std::string(kRemoteDebuggingOff));
  if (const auto refused = DevToolsEndpoints::refusal(endpoint->port, browser.proc, access.me))
    return Error(*refused);
  auto client = std::make_unique<DevToolsClient>(endpoint->port, deadline);
  if (!endpoint->browserPath) {
    const auto version = client->getJson("/json/version");
    if (!version) return Error(version.error());
    endpoint->browserPath = DevToolsEndpoints::browserPathFromVersion(*version, endpoint->port);
    if (!endpoint->browserPath) return Error("the endpoint names no browser socket on this port");
  }
  if (auto connected = client->connect(*endpoint->browserPath); !connected)
    return Error(connected.error());
  return BrowserConnection(std::move(client), dataDir,
                           switchValue(browser.args, "--profile-directory="));
}

Result<std::vector<TabTarget>, std::string> BrowserConnection::listTabs() {
  const auto answer =
      client_->call("Target.getTargets", {{"filter", nlohmann::json::array({{{"type", "tab"}}})}});
  if (!answer) return Error(answer.error());
  return parseTabTargets(*answer);
}

Result<BrowserTabs, std::string> BrowserConnection::tabs(bool front) {
  std::optional<std::string> frontPage;
  if (front) {
    auto page = lastShownPage(*client_);
    if (!page) return Error(page.error());
    frontPage = *page;
  }
  auto listed = listTabs();
  if (!listed) return Error(listed.error());
  if (listed->empty() && frontPage) return Error("the browser does not list its tabs");
  std::vector<DevToolsCommand> lookups;
  for (const TabTarget& tab : *listed)
    lookups.push_back({"Browser.getWindowForTarget", {{"targetId", tab.id}}});
  if (frontPage) lookups.push_back({"Browser.getWindowForTarget", {{"targetId", *frontPage}}});
  const auto answers = client_->callAll(lookups);
  // A tab closed meanwhile has no window; a browser that went away or hangs
  // answers nothing at all.
  if (!client_->connected()) return Error("the connection closed");
  if (Clock::now() >= client_->deadline()) return Error("no answer in time");
  BrowserTabs read;
  for (size_t i = 0; i < listed->size(); ++i) {
    const auto window = answers[i] ? windowOf(*answers[i]) : std::nullopt;
    if (!window) continue;
    TabTarget tab = std::move((*listed)[i]);
    tab.windowID = window->first;
    read.windows[window->first] = window->second;
    read.tabs.push_back(std::move(tab));
  }
  if (frontPage && answers.back())
    if (const auto window = windowOf(*answers.back())) read.frontWindow = window->first;
  sortTabs(read);
  return read;
}

Result<void, std::string> BrowserConnection::close(const std::vector<std::string>& ids) {
  std::vector<DevToolsCommand> commands;
  for (const auto& id : ids) commands.push_back({"Target.closeTarget", {{"targetId", id}}});
  std::optional<std::string> refused;
  for (const auto& answer : client_->callAll(commands)) {
    if (!answer)
      refused = answer.error();
    else if (const auto* success = member(*answer, "success");
             success && success->is_boolean() && !success->get<bool>())
      refused = "it would not close the tab";
  }
  const std::set<std::string> closing(ids.begin(), ids.end());
  size_t open = closing.size();
  while (true) {
    const auto listed = listTabs();
    if (!listed) return Error(listed.error());
    open = std::count_if(listed->begin(), listed->end(),
                         [&](const TabTarget& t) { return closing.contains(t.id); });
    if (open == 0) return {};
    if (Clock::now() + kClosePoll >= client_->deadline()) break;
    std::this_thread::sleep_for(kClosePoll);
  }
  if (refused) return Error("the browser refused: " + *refused);
  return Error(open == 1 ? std::string("the tab is still open")
                         : std::to_string(open) + " tabs are still open");
}

Result<std::string, std::string> BrowserConnection::openTab(const std::string& url, bool newWindow,
                                                            bool background,
                                                            const std::string& context) {
  nlohmann::json params{{"url", url}, {"newWindow", newWindow}, {"background", background}};
  if (!context.empty()) params["browserContextId"] = context;
  const auto answer = client_->call("Target.createTarget", std::move(params));
  if (!answer) return Error(answer.error());
  const auto id = textOr(*answer, "targetId", "");
  if (id.empty()) return Error("the browser opened no tab");
  return id;
}

std::map<std::string, BrowserProfile> BrowserConnection::profiles(
    const BrowserTabs& tabs, const std::map<std::string, std::string>& titleNames) const {
  std::vector<std::string> contexts;
  for (const TabTarget& tab : tabs.tabs)
    if (std::find(contexts.begin(), contexts.end(), tab.context) == contexts.end())
      contexts.push_back(tab.context);
  std::optional<LocalStateProfiles> state;
  if (userDataDir_)
    if (const auto text = readWholeFile(*userDataDir_ / BrowserProfiles::kLocalStateFile))
      state = BrowserProfiles::parseLocalState(*text);
  if (!state) return {};
  return BrowserProfiles::assign(contexts, *state, profileSwitch_, titleNames);
}

}  // namespace kelvane
