#include "helper/helper_config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "core/support/file_io.h"

namespace kelvane {
namespace {

using nlohmann::json;

std::string note(const std::string& path, const std::string& why) {
  return "KelvaneProxyHelper: configuration " + path + ": " + why;
}

// Why the open file may not be trusted, or nullopt when it may.
std::optional<std::string> distrust(int fd, uid_t trustedOwner) {
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0) return "cannot be read";
  if (!S_ISREG(info.st_mode)) return "is not a regular file";
  if (info.st_uid != trustedOwner) return "is not owned by root";
  if (info.st_mode & (S_IWGRP | S_IWOTH)) return "is writable by others than root";
  return std::nullopt;
}

// Reads the file through one descriptor, so the file checked is the file read.
std::optional<std::string> trustedContents(const std::string& path, uid_t trustedOwner,
                                           LoadedConfig& out) {
  // Non-blocking, so that a FIFO in the file's place is refused rather than waited on.
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  std::optional<std::string> contents;
  if (const auto why = distrust(fd.get(), trustedOwner)) {
    out.notes.push_back(note(path, *why + ", so no client is admitted"));
  } else {
    contents = readDescriptor(fd.get(), 1 << 20);
    if (!contents) out.notes.push_back(note(path, "cannot be read, so no client is admitted"));
  }
  return contents;
}

// The key's list of absolute paths; other entries are dropped with a note.
std::vector<std::string> absolutePaths(const json& doc, const char* key, LoadedConfig& out,
                                       const std::string& path) {
  std::vector<std::string> list;
  const auto it = doc.find(key);
  if (it == doc.end()) return list;
  if (!it->is_array()) {
    out.notes.push_back(note(path, std::string(key) + " is not a list, ignored"));
    return list;
  }
  for (const auto& entry : *it) {
    if (entry.is_string() && entry.get_ref<const std::string&>().starts_with('/'))
      list.push_back(entry.get<std::string>());
    else
      out.notes.push_back(note(path, std::string(key) + " entry is not an absolute path, ignored"));
  }
  return list;
}

std::vector<std::string> command(const json& doc, LoadedConfig& out, const std::string& path) {
  const auto it = doc.find("applyCommand");
  if (it == doc.end()) return {};
  std::vector<std::string> argv;
  if (it->is_array() && !it->empty() && (*it)[0].is_string() &&
      (*it)[0].get_ref<const std::string&>().starts_with('/')) {
    for (const auto& arg : *it) {
      if (!arg.is_string()) {
        argv.clear();
        break;
      }
      argv.push_back(arg.get<std::string>());
    }
  }
  if (argv.empty())
    out.notes.push_back(
        note(path, "applyCommand must list an absolute program and text arguments, ignored"));
  return argv;
}

std::optional<std::string> text(const json& doc, const char* key, LoadedConfig& out,
                                const std::string& path) {
  const auto it = doc.find(key);
  if (it == doc.end()) return std::nullopt;
  if (it->is_string() && !it->get_ref<const std::string&>().empty()) return it->get<std::string>();
  out.notes.push_back(note(path, std::string(key) + " is not a non-empty text, ignored"));
  return std::nullopt;
}

}  // namespace

LoadedConfig loadHelperConfig(const std::string& path, uid_t trustedOwner) {
  LoadedConfig out;
  const auto contents = trustedContents(path, trustedOwner, out);
  if (!contents) return out;
  const auto doc = json::parse(*contents, nullptr, /*allow_exceptions=*/false);
  if (!doc.is_object()) {
    out.notes.push_back(note(path, "is not a JSON object, so no client is admitted"));
    return out;
  }
  out.config.teamID = text(doc, "teamID", out, path);
  if (const auto group = text(doc, "adminGroup", out, path)) out.config.adminGroup = *group;
  out.config.clientPaths = absolutePaths(doc, "clientPaths", out, path);
  out.config.applyCommand = command(doc, out, path);
  if (!out.config.teamID)
    out.notes.push_back(note(path, "has no teamID, so no client is admitted"));
  return out;
}

}  // namespace kelvane
