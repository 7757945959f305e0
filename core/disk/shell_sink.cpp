#include "core/disk/shell_sink.h"

#include <cstdint>

namespace kelvane {

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// The length of the sequence `lead` starts and the range its second byte must fall in;
// length 0 for a byte that cannot start one.
struct Lead {
  size_t length = 0;
  uint8_t low = 0x80;
  uint8_t high = 0xBF;
};

Lead leadOf(uint8_t b) {
  if (b >= 0xC2 && b <= 0xDF) return {2, 0x80, 0xBF};
  if (b == 0xE0) return {3, 0xA0, 0xBF};  // no overlong forms
  if (b == 0xED) return {3, 0x80, 0x9F};  // no surrogates
  if (b >= 0xE1 && b <= 0xEF) return {3, 0x80, 0xBF};
  if (b == 0xF0) return {4, 0x90, 0xBF};
  if (b >= 0xF1 && b <= 0xF3) return {4, 0x80, 0xBF};
  if (b == 0xF4) return {4, 0x80, 0x8F};  // nothing above U+10FFFF
  return {};
}

// How many bytes from `at` belong to a well-formed prefix of the sequence `lead` starts.
size_t validPrefix(std::string_view bytes, size_t at, const Lead& lead) {
  size_t n = 1;
  while (n < lead.length && at + n < bytes.size()) {
    const auto b = static_cast<uint8_t>(bytes[at + n]);
    const uint8_t low = n == 1 ? lead.low : 0x80;
    const uint8_t high = n == 1 ? lead.high : 0xBF;
    if (b < low || b > high) break;
    ++n;
  }
  return n;
}

}  // namespace

void ShellSink::append(std::string_view data) {
  bytes_.append(data);
  if (bytes_.size() >= kTrimAtBytes) bytes_.erase(0, bytes_.size() - kKeptBytes);
}

std::string ShellSink::text() const {
  std::string_view view = bytes_;
  if (view.size() > kKeptBytes) view.remove_prefix(view.size() - kKeptBytes);
  return decodeUtf8Lossy(view);
}

std::string decodeUtf8Lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const auto b = static_cast<uint8_t>(bytes[i]);
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
      ++i;
      continue;
    }
    const Lead lead = leadOf(b);
    const size_t n = lead.length == 0 ? 1 : validPrefix(bytes, i, lead);
    if (n == lead.length)
      out.append(bytes.substr(i, n));
    else
      out.append(kReplacement);
    i += n;
  }
  return out;
}

}  // namespace kelvane
