#include "core/shell/shell_sink.h"

#include <cstdint>

#include "core/support/text.h"

namespace kelvane {

void ShellSink::append(std::string_view data) {
  bytes_.append(data);
  if (bytes_.size() >= kTrimAtBytes) bytes_.erase(0, bytes_.size() - kKeptBytes);
}

std::string ShellSink::text() const {
  std::string_view view = bytes_;
  if (view.size() > kKeptBytes) view.remove_prefix(view.size() - kKeptBytes);
  return Text::validUtf8(view);
}

}  // namespace kelvane
