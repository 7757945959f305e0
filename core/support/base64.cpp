#include "core/support/base64.h"

#include <array>

namespace kelvane::Base64 {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr uint8_t kInvalid = 0xFF;

constexpr std::array<uint8_t, 256> makeTable() {
  std::array<uint8_t, 256> table{};
  for (auto& v : table) v = kInvalid;
  for (uint8_t i = 0; i < 64; ++i) table[static_cast<uint8_t>(kAlphabet[i])] = i;
  return table;
}
constexpr auto kTable = makeTable();

}  // namespace

std::string encode(std::span<const uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t n = (uint32_t(bytes[i]) << 16) | (uint32_t(bytes[i + 1]) << 8) | bytes[i + 2];
    out += kAlphabet[n >> 18];
    out += kAlphabet[(n >> 12) & 63];
    out += kAlphabet[(n >> 6) & 63];
    out += kAlphabet[n & 63];
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t n = uint32_t(bytes[i]) << 16;
    if (rest == 2) n |= uint32_t(bytes[i + 1]) << 8;
    out += kAlphabet[n >> 18];
    out += kAlphabet[(n >> 12) & 63];
    out += rest == 2 ? kAlphabet[(n >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::string encode(std::string_view bytes) {
  return encode(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
}

std::optional<std::vector<uint8_t>> decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  size_t padding = 0;
  if (!text.empty() && text.back() == '=') padding = text[text.size() - 2] == '=' ? 2 : 1;
  std::vector<uint8_t> out;
  out.reserve(text.size() / 4 * 3);
  const size_t body = text.size() - padding;
  uint32_t n = 0;
  size_t i = 0;
  for (; i < body; ++i) {
    const uint8_t v = kTable[static_cast<uint8_t>(text[i])];
    if (v == kInvalid) return std::nullopt;
    n = (n << 6) | v;
    if (i % 4 == 3) {
      out.push_back(uint8_t(n >> 16));
      out.push_back(uint8_t(n >> 8));
      out.push_back(uint8_t(n));
      n = 0;
    }
  }
  // Leftover bits below the last whole byte are ignored, as common encoders
  // and decoders do.
  if (padding == 1) {  // Three symbols left: two bytes.
    out.push_back(uint8_t(n >> 10));
    out.push_back(uint8_t(n >> 2));
  } else if (padding == 2) {  // Two symbols left: one byte.
    out.push_back(uint8_t(n >> 4));
  }
  return out;
}

}  // namespace kelvane::Base64
