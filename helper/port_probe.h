#pragma once
// Whether the local proxy still answers: a TCP connect to the loopback address.

namespace kelvane {

// Returns true when 127.0.0.1:`port` accepts a TCP connection within one
// second; false on refusal, time-out, a port outside 1...65535 or any socket error.
// Blocks the caller for at most a second.
bool portAnswers(int port);

}  // namespace kelvane
