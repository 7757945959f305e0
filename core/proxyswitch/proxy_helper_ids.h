#pragma once
// ProxyHelperIDs: the fixed names of the proxy helper daemon.

namespace kelvane::ProxyHelperIDs {

// The service name the daemon answers under.
inline constexpr const char* machService = "com.pelmora.kelvane.proxyhelper";
// The name of the daemon's service-manager job; the daemon itself never reads it.
inline constexpr const char* plistName = "com.pelmora.kelvane.proxyhelper.plist";
// Where the user's own proxy settings are kept while ours are switched on.
inline constexpr const char* savedFile = "/Library/Application Support/Kelvane/proxy-saved.plist";

}  // namespace kelvane::ProxyHelperIDs
