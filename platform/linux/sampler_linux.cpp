#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <dirent.h>
#include <set>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

#include "core/support/text.h"
#include "platform/linux/app_catalog.h"
#include "platform/linux/browser_identity.h"
#include "platform/linux/proc_reader.h"
#include "platform/linux/sampler.h"
#include "platform/linux/xdg.h"

namespace kelvane {
namespace {

constexpr int kMaxAncestors = 64;
constexpr uint32_t kNoAuditSession = 4294967295u;

// Folders many programs share; an application there has no folder of its own.
constexpr std::string_view kSharedFolders[] = {"/usr/bin",     "/bin",           "/usr/sbin",
                                               "/sbin",        "/usr/local/bin", "/usr/games",
                                               "/usr/libexec", "/usr/lib",       "/snap/bin"};
// Display servers: a console terminal they run on takes no input through its device.
constexpr std::string_view kDisplayServers[] = {"Xorg", "Xwayland", "X"};

// Every process's stat line, and the working folders of the user's own processes
// (others' cannot be read). Nearly all of a look's time goes into the kernel writing
// these, a few microseconds a process, so on a busy machine the processes are read
// in two to four parts at once.
std::vector<ProcEntry> readProcesses(const ProcReader& reader, uint32_t me, size_t perPart) {
  const auto pids = reader.pids();
  std::vector<std::optional<ProcEntry>> read(pids.size());
  const auto readPart = [&](size_t from, size_t to) {
    for (size_t i = from; i < to; ++i) {
      auto entry = reader.process(pids[i], 0);
      if (entry && (me == 0 || entry->folderUid == me)) entry->cwd = reader.workingFolder(pids[i]);
      read[i] = std::move(entry);
    }
  };
  const size_t parts =
      std::clamp<size_t>(std::min<size_t>(std::thread::hardware_concurrency(),
                                          pids.size() / std::max<size_t>(perPart, 1)),
                         1, 4);
  std::vector<std::thread> others;
  const size_t step = (pids.size() + parts - 1) / parts;
  for (size_t part = 1; part < parts; ++part) {
    const size_t from = part * step, to = std::min(pids.size(), (part + 1) * step);
    try {
      others.emplace_back(readPart, from, to);
    } catch (const std::system_error&) {  // no thread to be had: read it here
      readPart(from, to);
    }
  }
  readPart(0, std::min(pids.size(), step));
  for (auto& thread : others) thread.join();
  std::vector<ProcEntry> entries;
  entries.reserve(pids.size());
  for (auto& entry : read)
    if (entry) entries.push_back(std::move(*entry));
  return entries;
}

std::string folderOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos || slash == 0 ? std::string()
                                                       : std::string(path.substr(0, slash));
}

std::optional<std::string> ownFolder(std::string_view exe) {
  std::string folder = folderOf(exe);
  if (folder.empty()) return std::nullopt;
  for (const auto shared : kSharedFolders)
    if (folder == shared) return std::nullopt;
  if (const char* home = std::getenv("HOME"); home && folder == std::string(home) + "/.local/bin")
    return std::nullopt;
  return folder;
}

// A browser run by a program without a window of its own (a test, a crawler) is no
// application of the user's.
bool headless(const std::optional<std::vector<std::string>>& arguments) {
  if (!arguments) return false;
  for (const auto& word : *arguments)
    if (word == "--headless" || word.starts_with("--headless=")) return true;
  return false;
}

// The process name: the kernel keeps 15 bytes of it, so a program's own file name
// that it cuts short is the better name.
std::string nameOf(const ProcEntry& entry) {
  const std::string& comm = entry.stat.comm;
  if (entry.exe) {
    const std::string file = entry.exe->substr(entry.exe->rfind('/') + 1);
    if (comm.size() == 15 && file.starts_with(comm)) return file;
  }
  return comm;
}

Proc procOf(const ProcEntry& entry, Date boot, double ticks, double pageBytes) {
  return Proc{.pid = entry.stat.pid,
              .ppid = entry.stat.ppid,
              .uid = entry.folderUid,
              .name = nameOf(entry),
              .path = entry.exe.value_or(""),
              .tty = ProcText::ttyName(entry.stat.ttyNr),
              .cpu = static_cast<double>(entry.stat.utime + entry.stat.stime) / ticks,
              .rss = static_cast<uint64_t>(std::max<double>(0, entry.stat.rssPages * pageBytes)),
              .started = boot + static_cast<double>(entry.stat.startTicks) / ticks,  // as startOf
              .cwd = entry.cwd};
}

}  // namespace

namespace sampler_detail {

// One process as far as a cache may know it: a PID and the moment it started.
struct Identity {
  int32_t pid = 0;
  uint64_t startTicks = 0;
  bool operator==(const Identity&) const = default;
};

// What the sampler keeps from one snapshot to the next, so that a table of thousands
// of processes is not read in full each time: every process's program (it changes
// only with its name, on exec) and the holders of each listening socket.
struct ProcCache {
  struct Program {
    uint64_t startTicks = 0;
    std::string comm;
    std::optional<std::string> exe;
  };
  std::unordered_map<int32_t, Program> programs;
  std::unordered_map<uint64_t, std::vector<Identity>> listeners;  // By socket inode.

  void addPrograms(const ProcReader& reader, std::vector<ProcEntry>& entries);
  void addPorts(const ProcReader& reader, const std::vector<ProcEntry>& entries,
                std::vector<Proc>& procs, uint32_t me);
};

void ProcCache::addPrograms(const ProcReader& reader, std::vector<ProcEntry>& entries) {
  std::unordered_map<int32_t, Program> current;
  for (ProcEntry& entry : entries) {
    const auto known = programs.find(entry.stat.pid);
    if (known != programs.end() && known->second.startTicks == entry.stat.startTicks &&
        known->second.comm == entry.stat.comm) {
      entry.exe = known->second.exe;
    } else if (!entry.stat.kernelThread) {
      entry.exe = reader.program(entry.stat.pid);
    }
    current.emplace(entry.stat.pid, Program{entry.stat.startTicks, entry.stat.comm, entry.exe});
  }
  programs = std::move(current);
}

// Listening ports come from the descriptors that hold each listening socket. The
// descriptors are searched only when a listening socket is new or its holders are
// gone; a process's connections are those accepted on its listening ports.
void ProcCache::addPorts(const ProcReader& reader, const std::vector<ProcEntry>& entries,
                         std::vector<Proc>& procs, uint32_t me) {
  std::unordered_map<int32_t, size_t> at;
  for (size_t i = 0; i < entries.size(); ++i) at.emplace(entries[i].stat.pid, i);
  const auto alive = [&](const Identity& id) {
    const auto found = at.find(id.pid);
    return found != at.end() && entries[found->second].stat.startTicks == id.startTicks;
  };
  const auto sockets = reader.tcpSockets();
  std::unordered_map<uint64_t, std::vector<Identity>> known;
  bool unresolved = false;
  for (const auto& socket : sockets) {
    if (socket.state != ProcText::kListen) continue;
    auto& holders = known[socket.inode];
    const auto cached = listeners.find(socket.inode);
    if (cached == listeners.end()) {
      unresolved = true;  // a new socket
      continue;
    }
    for (const auto& id : cached->second)
      if (alive(id)) holders.push_back(id);
    // A socket whose holders all ended was handed on; one that never had a visible
    // holder (another user's, the kernel's) is not searched for again.
    unresolved = unresolved || (holders.empty() && !cached->second.empty());
  }
  if (unresolved) {
    for (auto& [inode, holders] : known) holders.clear();
    for (const ProcEntry& entry : entries) {
      if (entry.stat.kernelThread || (me != 0 && entry.folderUid != me)) continue;
      for (const auto& target :
           reader.descriptors(entry.stat.pid).value_or(std::vector<std::string>{}))
        if (const auto inode = ProcText::socketInode(target))
          if (auto holders = known.find(*inode); holders != known.end())
            holders->second.push_back({entry.stat.pid, entry.stat.startTicks});
    }
  }
  listeners = known;

  std::unordered_map<int32_t, std::pair<std::set<uint16_t>, std::set<uint16_t>>> ports;
  for (const auto& socket : sockets) {
    if (socket.state != ProcText::kListen) continue;
    for (const auto& id : known[socket.inode]) {
      auto& [listening, exposed] = ports[id.pid];
      listening.insert(socket.localPort);
      if (!socket.loopback()) exposed.insert(socket.localPort);
    }
  }
  for (size_t i = 0; i < procs.size(); ++i) {
    Proc& proc = procs[i];
    const auto found = ports.find(proc.pid);
    if (found == ports.end()) {
      const bool searched = me == 0 || entries[i].folderUid == me;
      if (searched && !entries[i].stat.kernelThread) proc.exposedPorts = std::vector<uint16_t>{};
      continue;
    }
    const auto& [listening, exposed] = found->second;
    proc.listenPorts.assign(listening.begin(), listening.end());
    proc.exposedPorts = std::vector<uint16_t>(exposed.begin(), exposed.end());
    for (const auto& socket : sockets)
      if (socket.state == ProcText::kEstablished && listening.contains(socket.localPort))
        ++proc.established;
  }
}

}  // namespace sampler_detail

using sampler_detail::ProcCache;

int64_t memoryPressureLevel(const std::optional<ProcText::Pressure>& stalls,
                            const std::optional<ProcText::MemInfo>& memory) {
  if (stalls) {
    if (stalls->some >= 40 || stalls->full >= 10) return 4;
    if (stalls->some >= 10 || stalls->full >= 2) return 2;
    return 1;
  }
  if (!memory || memory->total == 0) return 1;
  const double left = static_cast<double>(memory->available) / static_cast<double>(memory->total);
  return left < 0.05 ? 4 : left < 0.10 ? 2 : 1;
}

LinuxSamplerSetup LinuxSamplerSetup::forThisMachine() {
  LinuxSamplerSetup setup;
  setup.home = Xdg::home();
  setup.trash = Xdg::homeTrash(setup.home);
  setup.dataDirs = Xdg::dataDirs(setup.home);
  setup.me = ::getuid();
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  setup.wholeSession = !wayland || !*wayland;
  return setup;
}

struct LinuxSampler::State {
  LinuxSamplerSetup setup;
  ProcReader reader;
  std::optional<AppCatalog> catalog;
  std::vector<std::pair<std::string, int64_t>> catalogStamps;  // Folder and change time.
  ProcCache cache;
  std::optional<ProcText::CpuTimes> lastCpu;
  double ticks = static_cast<double>(std::max(1L, ::sysconf(_SC_CLK_TCK)));
  double pageBytes = static_cast<double>(std::max(1L, ::sysconf(_SC_PAGESIZE)));

  explicit State(LinuxSamplerSetup s) : setup(std::move(s)), reader(setup.procRoot) {}

  const AppCatalog& apps();
  Date bootTime();
  Health health();
  int32_t session() const;
  std::optional<bool> trashReadable() const;
  std::map<std::string, double> ttyIdle(const Snapshot& s) const;
  void addApps(Snapshot& s, const std::vector<ProcEntry>& entries);
};

const AppCatalog& LinuxSampler::State::apps() {
  std::vector<std::pair<std::string, int64_t>> stamps;
  for (const auto& dir : setup.dataDirs) {
    struct stat info {};
    const std::string folder = dir + "/applications";
    stamps.emplace_back(folder, ::stat(folder.c_str(), &info) == 0 ? info.st_mtim.tv_sec : -1);
  }
  if (!catalog || stamps != catalogStamps) {
    catalog.emplace(DesktopEntries::load(setup.dataDirs));
    catalogStamps = std::move(stamps);
  }
  return *catalog;
}

Date LinuxSampler::State::bootTime() { return reader.bootMoment().value_or(Date::fromUnix(0)); }

Health LinuxSampler::State::health() {
  Health health;
  const auto memory = ProcText::memInfo(reader.read("meminfo").value_or(""));
  const auto stalls = ProcText::pressure(reader.read("pressure/memory").value_or(""));
  health.pressure = memoryPressureLevel(stalls, memory);
  if (memory) {
    health.memTotal = memory->total;
    health.memUsed = memory->total - memory->available;
  }
  // The share of the machine's CPU time spent busy since the last snapshot.
  if (const auto cpu = ProcText::cpuTimes(reader.read("stat").value_or(""))) {
    const ProcText::CpuTimes before = lastCpu.value_or(ProcText::CpuTimes{});
    if (cpu->total > before.total && cpu->busy >= before.busy)
      health.cpu = static_cast<double>(cpu->busy - before.busy) /
                   static_cast<double>(cpu->total - before.total);
    lastCpu = cpu;
  }
  struct statvfs disk {};
  if (!setup.home.empty() && ::statvfs(setup.home.c_str(), &disk) == 0) {
    health.diskFree = static_cast<int64_t>(disk.f_bavail * disk.f_frsize);
    health.diskTotal = static_cast<int64_t>(disk.f_blocks * disk.f_frsize);
  }
  return health;
}

int32_t LinuxSampler::State::session() const {
  const auto text = reader.read("self/sessionid").value_or("");
  uint32_t id = 0;
  const std::string_view digits = Text::trimmed(text);
  const auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), id);
  if (ec != std::errc() || id == kNoAuditSession || id > INT32_MAX) return 0;
  return static_cast<int32_t>(id);
}

std::optional<bool> LinuxSampler::State::trashReadable() const {
  if (setup.trash.empty()) return std::nullopt;
  const std::string files = setup.trash + "/files";
  struct stat info {};
  if (::lstat(files.c_str(), &info) != 0) return errno == ENOENT;  // no Trash yet: empty
  DIR* dir = ::opendir(files.c_str());
  if (!dir) return false;
  ::closedir(dir);
  return true;
}

// Seconds since each terminal's last input: the kernel stamps the device's access
// time when it reads from it. Terminals a display server runs on are left out.
std::map<std::string, double> LinuxSampler::State::ttyIdle(const Snapshot& s) const {
  std::unordered_set<int32_t> windowOwners;
  for (const auto& window : s.windows) windowOwners.insert(window.pid);
  std::set<std::string> terminals, desktops;
  for (const Proc& proc : s.procs) {
    if (!proc.tty || proc.tty->find(':') != std::string::npos) continue;
    terminals.insert(*proc.tty);
    const bool display = std::find(std::begin(kDisplayServers), std::end(kDisplayServers),
                                   proc.name) != std::end(kDisplayServers);
    if (display || windowOwners.contains(proc.pid)) desktops.insert(*proc.tty);
  }
  std::map<std::string, double> idle;
  for (const auto& tty : terminals) {
    struct stat info {};
    if (desktops.contains(tty) || ::stat((setup.devRoot + "/" + tty).c_str(), &info) != 0) continue;
    const Date input = Date::fromUnix(static_cast<double>(info.st_atim.tv_sec) +
                                      static_cast<double>(info.st_atim.tv_nsec) / 1e9);
    idle[tty] = std::max(0.0, s.at - input);
  }
  return idle;
}

// Applications: the programs that own a window, and those a shown desktop entry names
// that run outside a terminal. Of a program's processes below one another (a browser
// and its renderers) only the top one is the application; the rest are its helpers.
void LinuxSampler::State::addApps(Snapshot& s, const std::vector<ProcEntry>& entries) {
  const AppCatalog& known = apps();
  std::unordered_set<int32_t> owners;
  for (const auto& window : s.windows) owners.insert(window.pid);
  std::unordered_map<int32_t, size_t> at;
  for (size_t i = 0; i < s.procs.size(); ++i) at.try_emplace(s.procs[i].pid, i);

  std::vector<std::optional<AppIdentity>> identity(s.procs.size());
  std::vector<char> candidate(s.procs.size(), 0);
  for (size_t i = 0; i < s.procs.size(); ++i) {
    Proc& proc = s.procs[i];
    identity[i] = known.identify(proc.path);
    if (identity[i]) proc.bundleID = identity[i]->identifier;
    const bool shown = identity[i] && identity[i]->shown && !proc.tty && proc.uid == s.me &&
                       !headless(reader.arguments(proc.pid));
    candidate[i] = entries[i].stat.state != 'Z' && (owners.contains(proc.pid) || shown);
  }
  std::unordered_map<int32_t, std::string> appName;
  for (size_t i = 0; i < s.procs.size(); ++i) {
    const Proc& proc = s.procs[i];
    if (!candidate[i]) continue;
    const auto parent = at.find(proc.ppid);
    if (!owners.contains(proc.pid) && parent != at.end() && candidate[parent->second] &&
        s.procs[parent->second].path == proc.path)
      continue;  // a helper of the application above it
    RunningApp app{.pid = proc.pid,
                   .name = identity[i] ? identity[i]->name : proc.name,
                   .bundlePath = ownFolder(proc.path)};
    if (identity[i]) app.bundleID = identity[i]->identifier;
    appName.emplace(app.pid, app.name);
    s.apps.push_back(std::move(app));
  }
  for (Proc& proc : s.procs) {
    const Proc* step = &proc;
    for (int n = 0; step && n < kMaxAncestors; ++n) {
      if (appName.contains(step->pid)) {
        proc.responsible = step->pid;
        break;
      }
      const auto parent = at.find(step->ppid);
      step = parent == at.end() || step->ppid == step->pid ? nullptr : &s.procs[parent->second];
    }
  }
  for (auto& window : s.windows)
    if (window.app.empty())
      if (const auto name = appName.find(window.pid); name != appName.end())
        window.app = name->second;
}

LinuxSampler::LinuxSampler(LinuxSamplerSetup setup)
    : state_(std::make_unique<State>(std::move(setup))) {}

LinuxSampler::~LinuxSampler() = default;

Snapshot LinuxSampler::sample() {
  State& st = *state_;
  Snapshot s{.at = st.setup.now(), .me = st.setup.me};
  s.boot = st.bootTime();
  auto entries = readProcesses(st.reader, st.setup.me, st.setup.processesPerPart);
  st.cache.addPrograms(st.reader, entries);
  s.procs.reserve(entries.size());
  for (auto& entry : entries) s.procs.push_back(procOf(entry, s.boot, st.ticks, st.pageBytes));
  st.cache.addPorts(st.reader, entries, s.procs, st.setup.me);

  const auto desktop = st.setup.desktop ? st.setup.desktop() : std::nullopt;
  if (desktop) {
    s.windows = desktop->windows;
    s.frontPID = desktop->frontPID;
    s.focusedWindow = desktop->focusedWindow;
    s.spaces = desktop->spaces;
    s.windowSpaces = desktop->windowSpaces;
    s.axTrusted = st.setup.wholeSession;
  }
  st.addApps(s, entries);
  const auto browsers = st.setup.browsers ? st.setup.browsers(s.procs, s.windows) : std::nullopt;
  if (browsers) {
    s.tabs = browsers->tabs;
    s.browserWindowOf = browsers->browserWindowOf;
    s.automationDenied = browsers->automationDenied;
  } else {
    for (const auto& app : s.apps)
      if (app.bundleID && isChromiumIdentifier(*app.bundleID) &&
          std::find(s.automationDenied.begin(), s.automationDenied.end(), *app.bundleID) ==
              s.automationDenied.end())
        s.automationDenied.push_back(*app.bundleID);
  }
  s.ttyIdle = st.ttyIdle(s);
  s.health = st.health();
  s.session = st.session();
  s.trashReadable = st.trashReadable();
  return s;
}

}  // namespace kelvane
