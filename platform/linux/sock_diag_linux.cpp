#include <arpa/inet.h>
#include <cstring>
#include <ctime>
#include <linux/inet_diag.h>
#include <linux/sock_diag.h>
#include <linux/tcp.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>

#include <libmnl/libmnl.h>

#include "platform/linux/sock_diag.h"

namespace kelvane::SockDiag {
namespace {

// Sockets in these states are owned by no descriptor: a closed connection's
// TIME_WAIT and the half-open connections of a listener's queue.
constexpr uint8_t kSynReceived = 3;
constexpr uint8_t kTimeWait = 6;
constexpr uint32_t kOwnedStates =
    ((1u << 12) - 1) & ~(1u << 0) & ~(1u << kSynReceived) & ~(1u << kTimeWait);

// A dump message may be as large as the buffer the reader offers; the kernel
// fills up to 32 KiB, so this never truncates one.
constexpr size_t kReceiveBuffer = 64 * 1024;

struct MnlClose {
  void operator()(mnl_socket* socket) const { mnl_socket_close(socket); }
};
using MnlSocket = std::unique_ptr<mnl_socket, MnlClose>;

// Copies a 64-bit counter of tcp_info when the kernel's copy is long enough to hold it.
bool counter(const uint8_t* info, size_t size, size_t offset, uint64_t& out) {
  if (offset + sizeof(uint64_t) > size) return false;
  std::memcpy(&out, info + offset, sizeof(uint64_t));
  return true;
}

// Sent bytes are those sent once: bytes_sent less retransmissions. Kernels before
// 4.19 lack both; their bytes_acked also counts the SYN of the side that connected,
// one byte, which is left as it is.
void readInfo(const nlattr* attr, TcpSocket& socket) {
  const auto* info = static_cast<const uint8_t*>(mnl_attr_get_payload(attr));
  const size_t size = mnl_attr_get_payload_len(attr);
  uint64_t sent = 0, retransmitted = 0;
  socket.counted =
      counter(info, size, offsetof(tcp_info, tcpi_bytes_received), socket.bytesReceived) &&
      counter(info, size, offsetof(tcp_info, tcpi_bytes_acked), socket.bytesSent);
  if (counter(info, size, offsetof(tcp_info, tcpi_bytes_sent), sent) &&
      counter(info, size, offsetof(tcp_info, tcpi_bytes_retrans), retransmitted))
    socket.bytesSent = sent >= retransmitted ? sent - retransmitted : 0;
  if (!socket.counted) socket.bytesSent = socket.bytesReceived = 0;
}

int onMessage(const nlmsghdr* message, void* data) {
  auto& out = *static_cast<std::vector<TcpSocket>*>(data);
  if (auto socket = parseMessage(message, message->nlmsg_len)) out.push_back(*socket);
  return MNL_CB_OK;
}

// Sends one dump request for `family` and collects its answers.
Result<void, std::string> dump(mnl_socket* nl, uint8_t family, uint32_t seq,
                               std::vector<TcpSocket>& out) {
  std::vector<char> buffer(kReceiveBuffer);
  nlmsghdr* request = mnl_nlmsg_put_header(buffer.data());
  request->nlmsg_type = SOCK_DIAG_BY_FAMILY;
  request->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request->nlmsg_seq = seq;
  auto* ask =
      static_cast<inet_diag_req_v2*>(mnl_nlmsg_put_extra_header(request, sizeof(inet_diag_req_v2)));
  ask->sdiag_family = family;
  ask->sdiag_protocol = IPPROTO_TCP;
  ask->idiag_states = kOwnedStates;
  ask->idiag_ext = 1 << (INET_DIAG_INFO - 1);
  if (mnl_socket_sendto(nl, request, request->nlmsg_len) < 0)
    return Unexpected<std::string>("cannot ask the kernel for its sockets: " +
                                   std::string(std::strerror(errno)));
  const uint32_t portID = mnl_socket_get_portid(nl);
  while (true) {
    const ssize_t got = mnl_socket_recvfrom(nl, buffer.data(), buffer.size());
    if (got <= 0)
      return Unexpected<std::string>(got == 0 ? "the kernel's socket table ended early"
                                              : "cannot read the kernel's socket table: " +
                                                    std::string(std::strerror(errno)));
    const int run = mnl_cb_run(buffer.data(), got, seq, portID, onMessage, &out);
    if (run == MNL_CB_ERROR)
      return Unexpected<std::string>("the kernel refused the socket table: " +
                                     std::string(std::strerror(errno)));
    if (run == MNL_CB_STOP) return {};
  }
}

}  // namespace

Result<std::vector<TcpSocket>, std::string> tcpSockets() {
  MnlSocket nl(mnl_socket_open(NETLINK_SOCK_DIAG));
  if (!nl) return Unexpected<std::string>("no socket statistics: " + std::string(strerror(errno)));
  if (mnl_socket_bind(nl.get(), 0, MNL_SOCKET_AUTOPID) < 0)
    return Unexpected<std::string>("no socket statistics: " + std::string(strerror(errno)));
  // A kernel that never answers costs two seconds, not a hang.
  const timeval wait{.tv_sec = 2, .tv_usec = 0};
  ::setsockopt(mnl_socket_get_fd(nl.get()), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  std::vector<TcpSocket> out;
  const auto seq = static_cast<uint32_t>(std::time(nullptr));
  for (const uint8_t family : {uint8_t{AF_INET}, uint8_t{AF_INET6}}) {
    auto done = dump(nl.get(), family, seq + family, out);
    if (!done) return Unexpected<std::string>(done.error());
  }
  return out;
}

std::optional<TcpSocket> parseMessage(const void* message, size_t size) {
  const auto* header = static_cast<const nlmsghdr*>(message);
  if (size < MNL_NLMSG_HDRLEN + sizeof(inet_diag_msg) || header->nlmsg_len > size ||
      header->nlmsg_len < MNL_NLMSG_HDRLEN + sizeof(inet_diag_msg))
    return std::nullopt;
  inet_diag_msg diag;
  std::memcpy(&diag, mnl_nlmsg_get_payload(header), sizeof diag);
  if (diag.idiag_family != AF_INET && diag.idiag_family != AF_INET6) return std::nullopt;
  TcpSocket socket;
  socket.v6 = diag.idiag_family == AF_INET6;
  std::memcpy(socket.local.data(), diag.id.idiag_src, socket.v6 ? 16 : 4);
  std::memcpy(socket.remote.data(), diag.id.idiag_dst, socket.v6 ? 16 : 4);
  socket.localPort = ntohs(diag.id.idiag_sport);
  socket.remotePort = ntohs(diag.id.idiag_dport);
  socket.state = diag.idiag_state;
  socket.uid = diag.idiag_uid;
  socket.inode = diag.idiag_inode;
  // libmnl's attribute loop, spelled out: its macro leans on C's implicit void* casts.
  const auto* tail = static_cast<const char*>(mnl_nlmsg_get_payload_tail(header));
  for (auto* attr = static_cast<const nlattr*>(mnl_nlmsg_get_payload_offset(header, sizeof diag));
       mnl_attr_ok(attr, static_cast<int>(tail - reinterpret_cast<const char*>(attr)));
       attr = mnl_attr_next(attr))
    if (mnl_attr_get_type(attr) == INET_DIAG_INFO) readInfo(attr, socket);
  return socket;
}

std::string stateText(uint8_t state) {
  static constexpr const char* kNames[] = {"Unknown",   "Established", "SynSent",  "SynReceived",
                                           "FinWait1",  "FinWait2",    "TimeWait", "Closed",
                                           "CloseWait", "LastAck",     "Listen",   "Closing"};
  return state < std::size(kNames) ? kNames[state] : "Unknown";
}

std::string addressText(const std::array<uint8_t, 16>& address, bool v6) {
  char text[INET6_ADDRSTRLEN] = {};
  if (!::inet_ntop(v6 ? AF_INET6 : AF_INET, address.data(), text, sizeof text)) return "?";
  return text;
}

}  // namespace kelvane::SockDiag
