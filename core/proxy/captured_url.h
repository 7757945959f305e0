#pragma once
// CapturedUrl: reads the URLs that real traffic carries the way browsers do.
// An address RFC 3986 accepts is read as it is; one it refuses but that starts
// with a scheme and "//" (brackets, "|", quotes, spaces or raw UTF-8 in the
// path or query) is read after percent-encoding what RFC 3986 does not allow.
#include <optional>
#include <string>
#include <string_view>

#include "core/support/url.h"

namespace kelvane::CapturedUrl {

// Returns the URL's parts, the path and query percent-encoded; nullopt when
// the text is neither an RFC 3986 reference nor a scheme followed by "//" and
// a host that can be read.
[[nodiscard]] std::optional<Url> parse(std::string_view text);
// Returns the URL as an RFC 3986 address: the text itself when it is one,
// else with its user, path, query and fragment percent-encoded where needed;
// the text unchanged when it cannot be read at all.
std::string normalized(std::string_view text);

}  // namespace kelvane::CapturedUrl
