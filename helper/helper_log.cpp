#include "helper/helper_log.h"

#include <cstdio>
#include <syslog.h>

namespace kelvane {

SystemLog::SystemLog(bool copyToStderr) : copyToStderr_(copyToStderr) {
  ::openlog("KelvaneProxyHelper", LOG_PID, LOG_DAEMON);
}

SystemLog::~SystemLog() { ::closelog(); }

void SystemLog::write(std::string_view line) {
  const int length = int(line.size());
  ::syslog(LOG_NOTICE, "%.*s", length, line.data());
  if (copyToStderr_) {
    std::fprintf(stderr, "%.*s\n", length, line.data());
    std::fflush(stderr);
  }
}

}  // namespace kelvane
