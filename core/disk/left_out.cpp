#include "core/disk/left_out.h"

#include <algorithm>
#include <limits>

#include "core/config/format.h"
#include "core/support/text.h"

namespace kelvane {
namespace {

// "1 item" or "3 items".
std::string counted(size_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

}  // namespace

void LeftOut::add(Group& group, size_t count, std::string example) {
  if (count == 0) return;
  if (group.count == 0) group.example = std::move(example);
  group.count += count;
}

std::string LeftOut::shown(std::string_view path) const {
  std::string text;
  if (!home_.empty() && (path == home_ || (path.starts_with(home_) && path.size() > home_.size() &&
                                           path[home_.size()] == '/'))) {
    text = "~" + std::string(path.substr(home_.size()));
  } else {
    text = std::string(path);
  }
  return Text::validUtf8(text);
}

void LeftOut::inUse(const std::string& path, const std::string& reason) {
  add(inUse_, 1, shown(path) + ", " + reason);
}

void LeftOut::unmeasured(const std::string& path, const FileWalk::Gaps& gaps) {
  // An unreadable part says more than a deep one when an item has both.
  add(gaps.unreadable > 0 ? unreadableItems_ : deepItems_, 1, shown(path));
}

void LeftOut::unlooked(const FileWalk::Gaps& gaps) {
  if (gaps.unreadable > 0) {
    add(unreadableFolders_, gaps.unreadable, shown(gaps.first));
    // The first gap was an unreadable folder: a deep one has no example of its own.
    add(deepFolders_, gaps.tooDeep, "");
  } else {
    add(deepFolders_, gaps.tooDeep, shown(gaps.first));
  }
}

void LeftOut::unjudged(const std::string& project, std::string_view why, int64_t bytes) {
  add(unjudged_, 1, std::string(why) + " in " + shown(project));
  if (std::find(projects_.begin(), projects_.end(), project) == projects_.end())
    projects_.push_back(project);
  if (__builtin_add_overflow(unjudgedBytes_, std::max<int64_t>(bytes, 0), &unjudgedBytes_))
    unjudgedBytes_ = std::numeric_limits<int64_t>::max();
}

void LeftOut::say(std::string sentence) { sentences_.push_back(std::move(sentence)); }

std::optional<std::string> LeftOut::note(const std::optional<std::string>& own) const {
  std::vector<std::string> parts;
  if (own) parts.push_back(*own);
  for (const auto& sentence : sentences_) parts.push_back(sentence);
  if (unjudged_.count > 0) {
    std::string what = counted(unjudged_.count, "build folder", "build folders");
    if (projects_.size() > 1) what += " in " + counted(projects_.size(), "project", "projects");
    parts.push_back(what + " left out (" + Format::fileSize(unjudgedBytes_) +
                    "): " + unjudged_.example);
  }
  const std::string deeper = " deeper than " + std::to_string(FileWalk::kMaxDepth) + " levels";
  struct Told {
    const Group& group;
    bool items;  // Items rather than folders.
    std::string what;
  };
  const Told told[] = {
      {inUse_, true, " in use left out"},
      {unreadableItems_, true, " left out, with parts that could not be read"},
      {deepItems_, true, " left out, holding folders" + deeper},
      {unreadableFolders_, false, " could not be read"},
      {deepFolders_, false, deeper + " not looked into"},
  };
  for (const auto& [group, items, what] : told) {
    if (group.count == 0) continue;
    std::string text = counted(group.count, items ? "item" : "folder", items ? "items" : "folders");
    text += what;
    if (!group.example.empty()) text += (group.count == 1 ? ": " : ", such as ") + group.example;
    parts.push_back(std::move(text));
  }
  if (parts.empty()) return std::nullopt;
  std::string text;
  for (const auto& part : parts) text += (text.empty() ? "" : "; ") + part;
  return text;
}

}  // namespace kelvane
