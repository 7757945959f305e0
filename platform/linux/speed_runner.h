#pragma once
// SpeedRunner: one speed test of this machine's line against HTTP speed servers,
// with libcurl. A server is "host[:port]" (http) or a URL base with its scheme; it
// answers GET /__down?bytes=N with N bytes and takes POST /__up bodies.
//
// The test: the server answering a first request fastest is chosen; five small
// requests on the idle line give the latency; then a download and an upload of
// `duration` seconds each, sampled every 50 ms (the upload by the bytes the
// server's side acknowledged, so the local send buffer filling up is not taken for
// speed), with a small request every half second on another connection for the
// loaded latency. Latencies are the median time to first byte, in milliseconds.
#include <functional>
#include <string>
#include <vector>

#include "core/speed/speed_run.h"
#include "core/speed/speed_server.h"
#include "core/support/date.h"

namespace kelvane {

struct SpeedRunLimits {
  double duration = 10;  // Seconds per direction.
  double timeout = 60;   // Seconds for the whole test.

  // The limits of a scheduled or a manual test.
  static SpeedRunLimits of(bool automatic) {
    return {SpeedTest::duration(automatic), SpeedTest::timeout(automatic)};
  }
};

namespace SpeedRunner {

// Called with the phase under way: "latency", "download", "upload".
using Progress = std::function<void(std::string_view phase)>;

// Returns the URL of `path` on `server`: "http://" + host + path unless the host
// names its scheme; a trailing "/" of the host is dropped.
std::string url(const SpeedServer& server, std::string_view path);

// Runs one test and returns its result dated `at`, or the failure with the bytes
// it used so far: no server listed, none answering, a transfer that failed or
// answered with an HTTP error, or the time limit passing. Blocks the caller for
// up to `limits.timeout` seconds.
SpeedTest::Outcome run(const std::vector<SpeedServer>& servers, bool automatic, Date at,
                       const SpeedRunLimits& limits, const Progress& progress = {});

}  // namespace SpeedRunner
}  // namespace kelvane
