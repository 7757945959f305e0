#include "core/planning/allow_candidates.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/stringpiece.h>

#include "core/planning/guards.h"
#include "core/support/text.h"
#include "core/support/url.h"

namespace kelvane::AllowCandidates {
namespace {

const Allowlist kNothingKept;

bool contains(const std::vector<std::string>& list, std::string_view value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

// The comparison file browsers use: case-insensitive, numbers by value, in the
// user's language. The POSIX locale's collation orders ASCII by code point,
// capitals first, so it gives way to the root collation.
std::unique_ptr<icu::Collator> titleCollator() {
  icu::Locale locale = icu::Locale::getDefault();
  if (locale.isBogus() || std::strcmp(locale.getVariant(), "POSIX") == 0)
    locale = icu::Locale::getRoot();
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(locale, status));
  if (U_FAILURE(status) || !collator) return nullptr;
  collator->setStrength(icu::Collator::SECONDARY);  // accents count, case does not
  collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
  if (U_FAILURE(status)) return nullptr;
  return collator;
}

// Sorts by title, ascending and stably; without a collator, by lower-cased text.
std::vector<AllowCandidate> sortedByTitle(std::vector<AllowCandidate> list) {
  const auto collator = titleCollator();
  std::stable_sort(list.begin(), list.end(), [&](const AllowCandidate& a, const AllowCandidate& b) {
    if (!collator) return Text::lowercased(a.title) < Text::lowercased(b.title);
    UErrorCode status = U_ZERO_ERROR;
    return collator->compareUTF8(icu::StringPiece(a.title.data(), int32_t(a.title.size())),
                                 icu::StringPiece(b.title.data(), int32_t(b.title.size())),
                                 status) == UCOL_LESS;
  });
  return list;
}

// Candidates collected under a key; the first of each key keeps its place.
class Keyed {
 public:
  AllowCandidate* find(const std::string& key) {
    const auto it = at_.find(key);
    return it == at_.end() ? nullptr : &list_[it->second];
  }
  void add(AllowCandidate candidate) {
    at_.emplace(candidate.value, list_.size());
    list_.push_back(std::move(candidate));
  }
  std::vector<AllowCandidate> take() { return std::move(list_); }

 private:
  std::unordered_map<std::string, size_t> at_;
  std::vector<AllowCandidate> list_;
};

std::string appKey(const std::optional<std::string>& bundleID, const std::string& name) {
  return bundleID ? *bundleID : name;
}

// The path of the outermost application bundle holding `path`, if any.
std::optional<std::string> outermostBundlePath(const std::string& path) {
  for (size_t start = 0; start < path.size();) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    if (end > start && std::string_view(path).substr(start, end - start).ends_with(".app"))
      return path.substr(0, end);
    start = end + 1;
  }
  return std::nullopt;
}

// Where a program lives: its enclosing application, else its folder.
std::string placeOf(const std::string& path) {
  if (const auto app = Guards::outermostAppName(path)) return *app;
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Adds the regular applications of `snapshot`; a running application
// replaces an installed one with its key and keeps its icon.
void addRunning(Keyed& keyed, const Snapshot& snapshot, const Allowlist& allowlist) {
  std::unordered_set<std::string> running;  // A second copy of a running app adds nothing.
  for (const RunningApp& app : snapshot.apps) {
    if (app.policy != AppPolicy::regular) continue;
    const std::string key = appKey(app.bundleID, app.name);
    if (!running.insert(key).second) continue;
    AllowCandidate candidate{
        .value = key, .title = app.name, .note = "running", .kept = allowlist.has(app)};
    AllowCandidate* installed = keyed.find(key);
    candidate.iconPath = installed && installed->iconPath ? installed->iconPath : app.bundlePath;
    if (installed) {
      *installed = std::move(candidate);
    } else {
      keyed.add(std::move(candidate));
    }
  }
}

AllowCandidate processCandidate(const Proc& p, const Snapshot& snapshot,
                                const Allowlist& allowlist) {
  const std::string key = p.path.empty() ? p.name : p.path;
  AllowCandidate candidate{.value = key,
                           .title = p.name,
                           .note = placeOf(p.path),
                           .iconPath = outermostBundlePath(p.path),
                           .kept = contains(allowlist.processes, p.name) ||
                                   (!p.path.empty() && contains(allowlist.processes, p.path))};
  if (const int count = sharedCount(key, snapshot); count >= 2)
    candidate.warning =
        "Keeps all " + std::to_string(count) + " " + p.name + " processes, now and later.";
  return candidate;
}

// The lower-cased host of a web address; nullopt for other schemes or no host.
std::optional<std::string> webHost(const std::string& address) {
  const auto url = Url::parse(address);
  if (!url || !url->host || url->host->empty()) return std::nullopt;
  const std::string scheme = Text::asciiLowercased(url->scheme);
  if (scheme != "http" && scheme != "https") return std::nullopt;
  return Text::asciiLowercased(*url->host);
}

}  // namespace

std::vector<AllowCandidate> apps(const Snapshot* snapshot,
                                 const std::vector<InstalledApp>& installed,
                                 const Allowlist& allowlist) {
  Keyed keyed;
  for (const InstalledApp& app : installed) {
    const std::string key = appKey(app.bundleID, app.name);
    if (keyed.find(key)) continue;
    keyed.add({.value = key,
               .title = app.name,
               .note = "installed",
               .iconPath = app.path,
               .kept = contains(allowlist.apps, key) || contains(allowlist.apps, app.name)});
  }
  if (snapshot) addRunning(keyed, *snapshot, allowlist);
  return sortedByTitle(keyed.take());
}

std::vector<AllowCandidate> processes(const Snapshot& snapshot, const Allowlist& allowlist) {
  const Guards::Checker guard(snapshot, kNothingKept);
  Keyed keyed;
  for (const Proc& p : snapshot.procs) {
    if (p.uid != snapshot.me || guard.isRegularApp(p.pid)) continue;
    if (guard.block(p, false)) continue;
    if (keyed.find(p.path.empty() ? p.name : p.path)) continue;
    keyed.add(processCandidate(p, snapshot, allowlist));
  }
  return sortedByTitle(keyed.take());
}

std::vector<AllowCandidate> sites(const Snapshot& snapshot, const Allowlist& allowlist) {
  std::map<std::string, int> counts;
  Keyed keyed;
  for (const BrowserTab& tab : snapshot.tabs) {
    const auto host = webHost(tab.url);
    if (!host) continue;
    AllowCandidate* candidate = keyed.find(*host);
    if (!candidate) {
      keyed.add({.value = *host, .title = *host});
      candidate = keyed.find(*host);
    }
    if (allowlist.has(tab)) candidate->kept = true;
    ++counts[*host];
  }
  std::vector<AllowCandidate> list = keyed.take();
  for (AllowCandidate& candidate : list) {
    const int count = counts[candidate.value];
    candidate.note = count == 1 ? "1 tab" : std::to_string(count) + " tabs";
  }
  return sortedByTitle(std::move(list));
}

int sharedCount(std::string_view key, const Snapshot& snapshot) {
  int count = 0;
  for (const Proc& p : snapshot.procs)
    if (p.uid == snapshot.me && (p.name == key || (!p.path.empty() && p.path == key))) ++count;
  return count;
}

}  // namespace kelvane::AllowCandidates
