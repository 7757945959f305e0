// KelvaneProxyHelper: the root daemon that points the system proxy at
// Kelvane's local proxy for its client and always puts the user's settings back.
#include <chrono>
#include <signal.h>
#include <string>

#include <CLI/CLI.hpp>

#include "core/proxyswitch/helper_core.h"
#include "core/proxyswitch/proxy_helper_ids.h"
#include "helper/admission.h"
#include "helper/helper_config.h"
#include "helper/helper_log.h"
#include "helper/helper_server.h"
#include "helper/helper_service.h"
#include "helper/leftovers.h"
#include "helper/port_probe.h"
#include "helper/root_file_store.h"
#include "helper/services_file_store.h"

namespace {

struct Options {
  std::string config = "/etc/kelvane/proxyhelper.json";
  std::string prefs = "/etc/kelvane/network-services.json";
  std::string prefsLock;  // the preferences path plus ".lock" when unset
  std::string savedFile = kelvane::ProxyHelperIDs::savedFile;
  kelvane::ServerOptions server;
  int64_t tickMs = 10'000;
  int64_t idleTimeoutMs = 60'000;
  bool logToStderr = false;
};

void addOptions(CLI::App& app, Options& o) {
  const CLI::Validator absolute(
      [](const std::string& path) {
        return path.starts_with('/') ? std::string() : "must be an absolute path";
      },
      "PATH");
  app.add_option("--config", o.config, "Configuration file (root-owned JSON)")
      ->check(absolute)
      ->capture_default_str();
  app.add_option("--prefs", o.prefs, "Network services document")
      ->check(absolute)
      ->capture_default_str();
  app.add_option("--prefs-lock", o.prefsLock, "Lock file every writer of the document takes")
      ->check(absolute)
      ->default_str("<prefs>.lock");
  app.add_option("--saved-file", o.savedFile, "Where the user's own settings are kept")
      ->check(absolute)
      ->capture_default_str();
  app.add_option("--socket", o.server.socketPath, "Unix socket to listen on")
      ->check(absolute)
      ->capture_default_str();
  app.add_option("--tick-ms", o.tickMs, "Watchdog period in milliseconds")
      ->check(CLI::Range(int64_t{10}, int64_t{3'600'000}))
      ->capture_default_str();
  app.add_option("--idle-timeout-ms", o.idleTimeoutMs,
                 "Close connections that make no request for this long (not the switch's holder)")
      ->check(CLI::Range(int64_t{10}, int64_t{3'600'000}))
      ->capture_default_str();
  app.add_flag("--log-stderr", o.logToStderr, "Copy log lines to stderr");
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"KelvaneProxyHelper: switches the system proxy to Kelvane's local proxy"};
  Options o;
  addOptions(app, o);
  CLI11_PARSE(app, argc, argv);
  if (o.prefsLock.empty()) o.prefsLock = o.prefs + ".lock";
  o.server.tickInterval = std::chrono::milliseconds(o.tickMs);
  o.server.idleTimeout = std::chrono::milliseconds(o.idleTimeoutMs);
  ::signal(SIGPIPE, SIG_IGN);  // a client that hangs up mid-reply is not a reason to die

  kelvane::SystemLog log(o.logToStderr);
  auto loaded = kelvane::loadHelperConfig(o.config);
  for (const auto& note : loaded.notes) log.write(note);

  kelvane::ServicesFileStore prefs(o.prefs, o.prefsLock, loaded.config.applyCommand);
  kelvane::RootFileStore file(o.savedFile);
  // What writes cut short by a kill left behind goes before anything is served.
  auto removed = prefs.removeLeftovers();
  for (auto& path : kelvane::removeLeftoverTemporaries(file.path)) removed.push_back(path);
  for (const auto& path : removed)
    log.write("KelvaneProxyHelper: removed the temporary file a cut-short write left: " + path);
  kelvane::HelperCore core(prefs, file, kelvane::portAnswers);
  kelvane::ProcAdmissionChecks checks(std::move(loaded.config));
  kelvane::HelperService service(core, checks, log);
  return kelvane::runHelperServer(service, o.server, log);
}
