#pragma once
// Where the daemon's log lines go: the system log, and stderr when asked.
#include <string_view>

namespace kelvane {

class HelperLog {
 public:
  virtual ~HelperLog() = default;
  // Writes one line; failures to log are ignored.
  virtual void write(std::string_view line) = 0;
};

// The system log (facility daemon). Lines are written as given, prefix included.
class SystemLog final : public HelperLog {
 public:
  // With `copyToStderr` each line also goes to stderr, for running in the foreground.
  explicit SystemLog(bool copyToStderr);
  ~SystemLog() override;
  SystemLog(const SystemLog&) = delete;
  SystemLog& operator=(const SystemLog&) = delete;
  void write(std::string_view line) override;

 private:
  bool copyToStderr_;
};

}  // namespace kelvane
