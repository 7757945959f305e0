#include "core/model/proc.h"

#include <nlohmann/json.hpp>

#include "core/support/hashing.h"
#include "core/support/json_coding.h"
#include "core/support/json_fields.h"

namespace kelvane {

void to_json(nlohmann::json& j, const Proc& proc) {
  j = {{"pid", proc.pid},
       {"ppid", proc.ppid},
       {"uid", proc.uid},
       {"name", proc.name},
       {"path", proc.path},
       {"cpu", proc.cpu},
       {"rss", proc.rss},
       {"listenPorts", proc.listenPorts},
       {"established", proc.established}};
  putOptional(j, "tty", proc.tty);
  putOptional(j, "bundleID", proc.bundleID);
  putOptional(j, "started", proc.started);
  putOptional(j, "cwd", proc.cwd);
  putOptional(j, "responsible", proc.responsible);
  putOptional(j, "exposedPorts", proc.exposedPorts);
}

void from_json(const nlohmann::json& j, Proc& proc) {
  proc.pid = Fields::required<int32_t>(j, "pid");
  proc.ppid = Fields::required<int32_t>(j, "ppid");
  proc.uid = Fields::required<uint32_t>(j, "uid");
  proc.name = Fields::required<std::string>(j, "name");
  proc.path = Fields::required<std::string>(j, "path");
  proc.tty = Fields::optional<std::string>(j, "tty");
  proc.cpu = Fields::required<double>(j, "cpu");
  proc.rss = Fields::required<uint64_t>(j, "rss");
  proc.listenPorts = Fields::required<std::vector<uint16_t>>(j, "listenPorts");
  proc.established = Fields::required<int64_t>(j, "established");
  proc.bundleID = Fields::optional<std::string>(j, "bundleID");
  proc.started = Fields::optional<Date>(j, "started");
  proc.cwd = Fields::optional<std::string>(j, "cwd");
  proc.responsible = Fields::optional<int32_t>(j, "responsible");
  proc.exposedPorts = Fields::optional<std::vector<uint16_t>>(j, "exposedPorts");
}

}  // namespace kelvane

size_t std::hash<kelvane::Proc>::operator()(const kelvane::Proc& proc) const noexcept {
  return kelvane::hashValues(proc.pid, proc.ppid, proc.uid, proc.name, proc.path, proc.tty,
                             proc.cpu, proc.rss, proc.listenPorts, proc.established, proc.bundleID,
                             proc.started, proc.cwd, proc.responsible, proc.exposedPorts);
}
