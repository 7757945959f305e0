#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <ifaddrs.h>
#include <linux/tcp.h>  // The kernel's tcp_info, with its byte counters.
#include <memory>
#include <mutex>
#include <net/if.h>
#include <netinet/in.h>
#include <optional>
#include <sys/socket.h>

#include <curl/curl.h>

#include "platform/linux/speed_runner.h"

namespace kelvane::SpeedRunner {
namespace {

using Clock = std::chrono::steady_clock;

// Bytes asked for per transfer; the transfer is stopped when its time is up.
constexpr int64_t kTransferBytes = 2'000'000'000;
constexpr double kSampleEvery = 0.05;
constexpr double kProbeEvery = 0.5;
constexpr int kIdleProbes = 5;
constexpr double kChooseTimeout = 3;

struct EasyCleanup {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
using Easy = std::unique_ptr<CURL, EasyCleanup>;
struct MultiCleanup {
  void operator()(CURLM* m) const { curl_multi_cleanup(m); }
};
using Multi = std::unique_ptr<CURLM, MultiCleanup>;

double since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

size_t countBody(char*, size_t size, size_t count, void* counter) {
  *static_cast<int64_t*>(counter) += int64_t(size * count);
  return size * count;
}

size_t fillBody(char* buffer, size_t size, size_t count, void* counter) {
  std::memset(buffer, 0, size * count);
  *static_cast<int64_t*>(counter) += int64_t(size * count);
  return size * count;
}

// The data a finished or stopped transfer moved, headers included.
int64_t moved(CURL* h) {
  curl_off_t down = 0, up = 0;
  long headers = 0, request = 0;
  curl_easy_getinfo(h, CURLINFO_SIZE_DOWNLOAD_T, &down);
  curl_easy_getinfo(h, CURLINFO_SIZE_UPLOAD_T, &up);
  curl_easy_getinfo(h, CURLINFO_HEADER_SIZE, &headers);
  curl_easy_getinfo(h, CURLINFO_REQUEST_SIZE, &request);
  return int64_t(down) + int64_t(up) + headers + request;
}

// Time from the request's being sent to the first byte of the answer, in ms.
double firstByteMs(CURL* h) {
  curl_off_t first = 0, sent = 0;
  curl_easy_getinfo(h, CURLINFO_STARTTRANSFER_TIME_T, &first);
  curl_easy_getinfo(h, CURLINFO_PRETRANSFER_TIME_T, &sent);
  return double(std::max<curl_off_t>(first - sent, 0)) / 1000.0;
}

// The network interface holding local address `ip`; empty when none does.
std::string interfaceOf(const char* ip) {
  if (!ip || !*ip) return {};
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return {};
  std::string name;
  char text[INET6_ADDRSTRLEN];
  for (const ifaddrs* a = list; a && name.empty(); a = a->ifa_next) {
    if (!a->ifa_addr) continue;
    const int family = a->ifa_addr->sa_family;
    const void* address =
        family == AF_INET
            ? static_cast<const void*>(&reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr)
        : family == AF_INET6
            ? static_cast<const void*>(&reinterpret_cast<sockaddr_in6*>(a->ifa_addr)->sin6_addr)
            : nullptr;
    if (address && ::inet_ntop(family, address, text, sizeof text) && std::strcmp(text, ip) == 0)
      name = a->ifa_name;
  }
  ::freeifaddrs(list);
  return name;
}

// One test in progress: the deadline, the data used so far, the latencies seen.
struct Run {
  Clock::time_point deadline;
  int64_t used = 0;
  std::vector<double> loaded;

  double left() const { return std::chrono::duration<double>(deadline - Clock::now()).count(); }
};

Easy request(const std::string& address, double timeout, int64_t* counter) {
  Easy h(curl_easy_init());
  if (!h) return h;
  curl_easy_setopt(h.get(), CURLOPT_URL, address.c_str());
  curl_easy_setopt(h.get(), CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h.get(), CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(h.get(), CURLOPT_USERAGENT, "kelvane-speed");
  curl_easy_setopt(h.get(), CURLOPT_TIMEOUT_MS, long(std::max(timeout, 0.001) * 1000));
  curl_easy_setopt(h.get(), CURLOPT_CONNECTTIMEOUT_MS, long(std::max(timeout, 0.001) * 1000));
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, countBody);
  curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, counter);
  return h;
}

// One small request; its time to first byte, or nullopt when it failed.
std::optional<double> probe(CURL* h, Run& run) {
  curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, long(std::max(run.left(), 0.001) * 1000));
  const CURLcode code = curl_easy_perform(h);
  run.used += moved(h);
  if (code != CURLE_OK) return std::nullopt;
  return firstByteMs(h);
}

// Notes the socket a transfer opens, for reading its TCP counters while it runs
// (libcurl names a transfer's socket only once the transfer is over).
int noteSocket(void* where, curl_socket_t socket, curlsocktype purpose) {
  if (purpose == CURLSOCKTYPE_IPCXN) *static_cast<curl_socket_t*>(where) = socket;
  return CURL_SOCKOPT_OK;
}

// The bytes the peer has acknowledged on `socket`; nullopt when it cannot say.
std::optional<int64_t> acknowledged(curl_socket_t socket) {
  if (socket == CURL_SOCKET_BAD) return std::nullopt;
  tcp_info info{};
  socklen_t size = sizeof info;
  if (::getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 ||
      size < offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked)
    return std::nullopt;
  return int64_t(info.tcpi_bytes_acked);
}

struct Phase {
  std::vector<SpeedSample> samples;
  std::string interface;
  std::optional<std::string> error;
};

// Runs one direction for `duration` seconds with latency probes beside it.
Phase transfer(const SpeedServer& server, bool upload, double duration, Run& run) {
  Phase phase;
  int64_t body = 0, probeBody = 0;
  const auto path =
      upload ? std::string("/__up") : "/__down?bytes=" + std::to_string(kTransferBytes);
  Easy main = request(url(server, path), run.left(), &body);
  Easy prober = request(url(server, "/__down?bytes=0"), run.left(), &probeBody);
  Multi multi(curl_multi_init());
  if (!main || !prober || !multi) return {.error = "cannot start a transfer"};
  curl_slist* noExpect = curl_slist_append(nullptr, "Expect:");
  curl_socket_t socket = CURL_SOCKET_BAD;
  if (upload) {
    curl_easy_setopt(main.get(), CURLOPT_SOCKOPTFUNCTION, noteSocket);
    curl_easy_setopt(main.get(), CURLOPT_SOCKOPTDATA, &socket);
    curl_easy_setopt(main.get(), CURLOPT_POST, 1L);
    curl_easy_setopt(main.get(), CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(kTransferBytes));
    curl_easy_setopt(main.get(), CURLOPT_READFUNCTION, fillBody);
    curl_easy_setopt(main.get(), CURLOPT_READDATA, &body);
    curl_easy_setopt(main.get(), CURLOPT_HTTPHEADER, noExpect);  // No wait for "100 Continue".
  }
  curl_multi_add_handle(multi.get(), main.get());
  const auto start = Clock::now();
  double nextSample = 0, nextProbe = kProbeEvery;
  bool probing = false, mainRunning = true;
  std::optional<int64_t> ackedBase;
  while (mainRunning) {
    int running = 0;
    curl_multi_perform(multi.get(), &running);
    const double t = since(start);
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi.get(), &queued)) {
      if (message->msg != CURLMSG_DONE) continue;
      if (message->easy_handle == prober.get()) {
        if (message->data.result == CURLE_OK) run.loaded.push_back(firstByteMs(prober.get()));
        run.used += moved(prober.get());
        curl_multi_remove_handle(multi.get(), prober.get());
        probing = false;
        nextProbe = t + kProbeEvery;
      } else {
        mainRunning = false;
        if (message->data.result == CURLE_OPERATION_TIMEDOUT)
          phase.error = "timed out";
        else if (message->data.result != CURLE_OK)
          phase.error = curl_easy_strerror(message->data.result);
      }
    }
    if (t >= nextSample && mainRunning) {
      int64_t bytes = body;
      if (upload) {
        // The request's head and the handshake are acknowledged too; counting from
        // the first reading leaves them out.
        if (const auto acked = acknowledged(socket)) {
          if (!ackedBase) ackedBase = *acked;
          bytes = *acked - *ackedBase;
        }
      }
      phase.samples.push_back({t, bytes});
      nextSample = t + kSampleEvery;
    }
    if (!probing && t >= nextProbe && t < duration) {
      curl_easy_setopt(prober.get(), CURLOPT_TIMEOUT_MS, long(std::max(run.left(), 0.001) * 1000));
      curl_multi_add_handle(multi.get(), prober.get());
      probing = true;
    }
    if (t >= duration || run.left() <= 0) break;
    curl_multi_poll(multi.get(), nullptr, 0, 10, nullptr);
  }
  char* ip = nullptr;
  curl_easy_getinfo(main.get(), CURLINFO_LOCAL_IP, &ip);
  phase.interface = interfaceOf(ip);
  // An upload stopped midway leaves bytes in the local send buffer that never
  // went out; what the server acknowledged is what the line carried.
  const auto acked = upload ? acknowledged(socket) : std::nullopt;
  run.used += acked ? *acked : moved(main.get());
  if (probing) run.used += moved(prober.get());
  curl_multi_remove_handle(multi.get(), main.get());
  if (probing) curl_multi_remove_handle(multi.get(), prober.get());
  curl_slist_free_all(noExpect);
  if (!phase.error && since(start) < duration && run.left() <= 0) phase.error = "timed out";
  return phase;
}

// Picks the server answering a first request fastest; nullopt when none answers.
std::optional<SpeedServer> choose(const std::vector<SpeedServer>& servers, Run& run) {
  std::optional<SpeedServer> best;
  double bestMs = 0;
  for (const auto& server : servers) {
    int64_t ignored = 0;
    Easy h =
        request(url(server, "/__down?bytes=0"), std::min(kChooseTimeout, run.left()), &ignored);
    if (!h) continue;
    Run limited = run;
    limited.deadline = std::min(
        run.deadline, Clock::now() + std::chrono::milliseconds(int(kChooseTimeout * 1000)));
    const auto ms = probe(h.get(), limited);
    run.used = limited.used;
    if (ms && (!best || *ms < bestMs)) best = server, bestMs = *ms;
  }
  return best;
}

}  // namespace

std::string url(const SpeedServer& server, std::string_view path) {
  std::string base = server.host;
  while (base.ends_with('/')) base.pop_back();
  if (base.find("://") == std::string::npos) base = "http://" + base;
  return base + std::string(path);
}

SpeedTest::Outcome run(const std::vector<SpeedServer>& servers, bool automatic, Date at,
                       const SpeedRunLimits& limits, const Progress& progress) {
  static std::once_flag curlReady;
  std::call_once(curlReady, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  const auto tell = [&progress](std::string_view phase) {
    if (progress) progress(phase);
  };
  Run run{.deadline = Clock::now() + std::chrono::milliseconds(int64_t(limits.timeout * 1000))};
  if (servers.empty()) return SpeedTest::Failed{"no speed server is listed", 0};
  tell("latency");
  const auto server = choose(servers, run);
  if (!server) return SpeedTest::Failed{"no speed server answered", run.used};
  int64_t ignored = 0;
  Easy idle = request(url(*server, "/__down?bytes=0"), run.left(), &ignored);
  std::vector<double> idleMs;
  for (int i = 0; idle && i < kIdleProbes && run.left() > 0; ++i)
    if (const auto ms = probe(idle.get(), run)) idleMs.push_back(*ms);
  if (idleMs.empty()) return SpeedTest::Failed{"the speed server stopped answering", run.used};

  tell("download");
  const Phase down = transfer(*server, false, limits.duration, run);
  if (down.error) return SpeedTest::Failed{"download failed: " + *down.error, run.used};
  tell("upload");
  const Phase up = transfer(*server, true, limits.duration, run);
  if (up.error) return SpeedTest::Failed{"upload failed: " + *up.error, run.used};
  return SpeedTest::Ok{SpeedResult{.at = at,
                                   .down = SpeedSampling::typical(down.samples),
                                   .up = SpeedSampling::typical(up.samples),
                                   .latency = SpeedTest::median(idleMs),
                                   .loadedLatency = SpeedTest::median(run.loaded),
                                   .bytes = run.used,
                                   .interface = down.interface,
                                   .automatic = automatic}};
}

}  // namespace kelvane::SpeedRunner
