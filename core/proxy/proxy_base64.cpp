#include "core/proxy/proxy_base64.h"

#include <array>
#include <bit>
#include <cstring>

namespace kelvane::ProxyBase64 {
namespace {

// Four tables map a symbol straight to its bits in the three output bytes
// (little-endian word order), so a quad decodes with four lookups and ORs.
// An invalid symbol sets bit 24.
constexpr uint32_t kBad = 1u << 24;
static_assert(std::endian::native == std::endian::little, "words are stored little-endian");

struct Tables {
  std::array<uint32_t, 256> d0{}, d1{}, d2{}, d3{};
};

constexpr Tables makeTables() {
  constexpr std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  Tables t;
  for (size_t i = 0; i < 256; ++i) t.d0[i] = t.d1[i] = t.d2[i] = t.d3[i] = kBad;
  for (uint32_t v = 0; v < 64; ++v) {
    const auto c = uint8_t(alphabet[v]);
    t.d0[c] = v << 2;
    t.d1[c] = (v >> 4) | ((v & 0x0F) << 12);
    t.d2[c] = ((v >> 2) << 8) | ((v & 0x03) << 22);
    t.d3[c] = v << 16;
  }
  return t;
}
constexpr Tables kTables = makeTables();

uint32_t quad(const uint8_t* in) {
  return kTables.d0[in[0]] | kTables.d1[in[1]] | kTables.d2[in[2]] | kTables.d3[in[3]];
}

}  // namespace

std::optional<std::vector<uint8_t>> decode(std::string_view text) {
  const size_t n = text.size();
  if (n % 4 != 0) return std::nullopt;
  if (n == 0) return std::vector<uint8_t>{};
  const size_t padding = text[n - 1] != '=' ? 0 : text[n - 2] == '=' ? 2 : 1;
  std::vector<uint8_t> out(n / 4 * 3 - padding);
  const auto* in = reinterpret_cast<const uint8_t*>(text.data());
  uint8_t* dst = out.data();
  uint32_t bad = 0;
  // Whole quads but the last write four bytes at a time; the fourth byte is
  // overwritten by the next quad.
  const size_t quads = n / 4;
  size_t q = 0;
  // Two quads at a time: six bytes out in one eight-byte store, whose last two
  // bytes the next quads overwrite. Two more quads must follow, since the last
  // one may give a single byte.
  for (; q + 3 < quads; q += 2, in += 8, dst += 6) {
    const uint32_t low = quad(in), high = quad(in + 4);
    bad |= low | high;
    const uint64_t word = uint64_t(low & 0xFFFFFF) | uint64_t(high) << 24;
    std::memcpy(dst, &word, 8);
  }
  for (; q + 1 < quads; ++q, in += 4, dst += 3) {
    const uint32_t word = quad(in);
    bad |= word;
    std::memcpy(dst, &word, 4);
  }
  // The last quad holds 4 symbols (three bytes), 3 (two) or 2 (one).
  const uint8_t last[4] = {in[0], in[1], padding == 2 ? uint8_t('A') : in[2],
                           padding >= 1 ? uint8_t('A') : in[3]};
  const uint32_t word = quad(last);
  bad |= word;
  std::memcpy(dst, &word, 3 - padding);
  if (bad & kBad) return std::nullopt;
  return out;
}

}  // namespace kelvane::ProxyBase64
