#pragma once
// SockDiag: the kernel's own table of TCP sockets with their byte counters, asked
// over NETLINK_SOCK_DIAG. Unlike /proc/net/tcp it gives every socket's tcp_info,
// so traffic is counted by the kernel, per socket, without capturing packets.
// UDP is not asked: its sockets carry no byte counters.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/support/result.h"

namespace kelvane::SockDiag {

// One TCP socket of this network namespace.
struct TcpSocket {
  bool v6 = false;
  std::array<uint8_t, 16> local{};  // IPv4 addresses take the first four bytes.
  std::array<uint8_t, 16> remote{};
  uint16_t localPort = 0;
  uint16_t remotePort = 0;
  uint8_t state = 0;  // The kernel's TCP state (1 established ... 10 listen).
  uint32_t uid = 0;
  uint64_t inode = 0;          // Matches "socket:[inode]" among a process's descriptors.
  bool counted = false;        // The kernel gave its byte counters.
  uint64_t bytesReceived = 0;  // Payload received, cumulative.
  uint64_t bytesSent = 0;      // Payload sent, retransmissions counted once; cumulative.
  bool operator==(const TcpSocket&) const = default;
};

// The kernel's TCP states that matter here.
inline constexpr uint8_t kEstablished = 1;
inline constexpr uint8_t kListen = 10;

// Returns every TCP socket of both families that a process can hold (sockets in
// TIME_WAIT or half-open ones have no owner and are left out). Fails with a
// reason when the kernel cannot be asked or stops answering within two seconds.
Result<std::vector<TcpSocket>, std::string> tcpSockets();

// Reads one sock_diag answer message (its netlink header included, `size` bytes).
// nullopt for a message too short to be one or of another family; counters stay
// unset when the tcp_info attribute is missing or too short to hold them.
[[nodiscard]] std::optional<TcpSocket> parseMessage(const void* message, size_t size);

// Returns the state as people read it: "Listen", "Established", "SynSent",
// "CloseWait", ...; "Unknown" for anything else.
std::string stateText(uint8_t state);

// Returns the address as text: "127.0.0.1", "::1", "::ffff:127.0.0.1".
std::string addressText(const std::array<uint8_t, 16>& address, bool v6);

}  // namespace kelvane::SockDiag
