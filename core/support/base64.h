#pragma once
// Base64: the standard alphabet with "=" padding, as bodies are carried in
// event lines and exports.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::Base64 {

std::string encode(std::span<const uint8_t> bytes);
std::string encode(std::string_view bytes);
// Decodes padded standard Base64 (length a multiple of 4, "=" only at the end);
// nullopt for any other character, a bad length or misplaced padding. Bits
// below the last whole byte are ignored, as common decoders do. Uses AVX2
// where the processor has it.
[[nodiscard]] std::optional<std::vector<uint8_t>> decode(std::string_view text);

}  // namespace kelvane::Base64
