#include "platform/linux/sock_diag.h"

#include <chrono>
#include <cstring>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/tcp.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/linux/testing/tcp_pair.h"

namespace kelvane {
namespace {

using SockDiag::TcpSocket;

std::optional<TcpSocket> findInode(uint64_t inode) {
  const auto sockets = SockDiag::tcpSockets();
  EXPECT_TRUE(sockets.has_value()) << (sockets ? "" : sockets.error());
  if (!sockets) return std::nullopt;
  for (const auto& socket : *sockets)
    if (socket.inode == inode) return socket;
  return std::nullopt;
}

// Waits until the kernel has the counters a transfer should leave (the last ACK
// may still be on its way when the reader returns).
std::optional<TcpSocket> settled(uint64_t inode, uint64_t acked, uint64_t received) {
  std::optional<TcpSocket> socket;
  for (int i = 0; i < 200; ++i) {
    socket = findInode(inode);
    if (socket && socket->bytesSent == acked && socket->bytesReceived == received) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return socket;
}

TEST(SockDiag, ListenersOfBothFamiliesWithTheirAddresses) {
  const int v4 = testing::listenOn("127.0.0.1");
  ASSERT_GE(v4, 0);
  const auto listener = findInode(testing::inodeOf(v4));
  ASSERT_TRUE(listener);
  EXPECT_EQ(listener->state, SockDiag::kListen);
  EXPECT_EQ(listener->localPort, testing::portOf(v4));
  EXPECT_FALSE(listener->v6);
  EXPECT_EQ(SockDiag::addressText(listener->local, false), "127.0.0.1");
  EXPECT_EQ(listener->uid, ::geteuid());
  ::close(v4);

  const int v6 = testing::listenOn("::1");
  if (v6 < 0) GTEST_SKIP() << "no IPv6 loopback here";
  const auto listener6 = findInode(testing::inodeOf(v6));
  ASSERT_TRUE(listener6);
  EXPECT_TRUE(listener6->v6);
  EXPECT_EQ(SockDiag::addressText(listener6->local, true), "::1");
  EXPECT_EQ(listener6->localPort, testing::portOf(v6));
  ::close(v6);
}

TEST(SockDiag, CountsThePayloadEachWay) {
  const int listener = testing::listenOn("127.0.0.1");
  ASSERT_GE(listener, 0);
  const int client = testing::connectTo(testing::portOf(listener), true);
  ASSERT_GE(client, 0);
  const int server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(server, 0);
  constexpr uint64_t kUp = 300'000, kDown = 70'001;
  std::thread reader([&] { EXPECT_TRUE(testing::receiveBytes(server, kUp)); });
  ASSERT_TRUE(testing::sendBytes(client, kUp));
  reader.join();
  ASSERT_TRUE(testing::sendBytes(server, kDown));
  ASSERT_TRUE(testing::receiveBytes(client, kDown));

  const auto clientSide = settled(testing::inodeOf(client), kUp, kDown);
  const auto serverSide = settled(testing::inodeOf(server), kDown, kUp);
  ASSERT_TRUE(clientSide && serverSide);
  EXPECT_TRUE(clientSide->counted);
  EXPECT_EQ(clientSide->state, SockDiag::kEstablished);
  EXPECT_EQ(clientSide->bytesSent, kUp);
  EXPECT_EQ(clientSide->bytesReceived, kDown);
  EXPECT_EQ(serverSide->bytesSent, kDown);
  EXPECT_EQ(serverSide->bytesReceived, kUp);
  EXPECT_EQ(clientSide->remotePort, testing::portOf(listener));
  for (const int fd : {client, server, listener}) ::close(fd);
}

// A hand-made answer: header, the diag record for 10.0.0.1:8080 <-> 10.0.0.2:5000,
// and a tcp_info attribute of `infoBytes` bytes.
std::vector<uint8_t> answer(size_t infoBytes, uint8_t family = AF_INET) {
  tcp_info info{};
  info.tcpi_bytes_acked = 1235;  // Counts the SYN of the side that connected.
  info.tcpi_bytes_sent = 1300;
  info.tcpi_bytes_retrans = 66;
  info.tcpi_bytes_received = 5678;
  inet_diag_msg diag{};
  diag.idiag_family = family;
  diag.idiag_state = 1;
  diag.idiag_inode = 99;
  diag.idiag_uid = 1000;
  diag.id.idiag_sport = htons(8080);
  diag.id.idiag_dport = htons(5000);
  diag.id.idiag_src[0] = htonl(0x0A000001);
  diag.id.idiag_dst[0] = htonl(0x0A000002);
  const size_t attrLen = NLA_HDRLEN + infoBytes;
  const size_t total = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof diag) + NLA_ALIGN(attrLen);
  std::vector<uint8_t> bytes(total);
  nlmsghdr header{.nlmsg_len = uint32_t(total)};
  std::memcpy(bytes.data(), &header, sizeof header);
  std::memcpy(bytes.data() + NLMSG_HDRLEN, &diag, sizeof diag);
  nlattr attr{.nla_len = uint16_t(attrLen), .nla_type = INET_DIAG_INFO};
  uint8_t* at = bytes.data() + NLMSG_HDRLEN + NLMSG_ALIGN(sizeof diag);
  std::memcpy(at, &attr, sizeof attr);
  std::memcpy(at + NLA_HDRLEN, &info, std::min(infoBytes, sizeof info));
  return bytes;
}

TEST(SockDiagParse, ReadsAnAnswerAndDistrustsShortOnes) {
  const auto whole = answer(sizeof(tcp_info));
  const auto socket = SockDiag::parseMessage(whole.data(), whole.size());
  ASSERT_TRUE(socket);
  EXPECT_EQ(SockDiag::addressText(socket->local, false), "10.0.0.1");
  EXPECT_EQ(SockDiag::addressText(socket->remote, false), "10.0.0.2");
  EXPECT_EQ(socket->localPort, 8080);
  EXPECT_EQ(socket->remotePort, 5000);
  EXPECT_EQ(socket->inode, 99u);
  EXPECT_EQ(socket->uid, 1000u);
  EXPECT_TRUE(socket->counted);
  EXPECT_EQ(socket->bytesSent, 1234u);
  EXPECT_EQ(socket->bytesReceived, 5678u);

  // A kernel before 4.19 knows only what was acknowledged.
  const auto older = answer(offsetof(tcp_info, tcpi_bytes_received) + 8);
  const auto olderSocket = SockDiag::parseMessage(older.data(), older.size());
  ASSERT_TRUE(olderSocket);
  EXPECT_EQ(olderSocket->bytesSent, 1235u);
  EXPECT_EQ(olderSocket->bytesReceived, 5678u);

  // An old kernel's tcp_info ends before the byte counters: the socket stays, uncounted.
  const auto old = answer(offsetof(tcp_info, tcpi_bytes_acked));
  const auto oldSocket = SockDiag::parseMessage(old.data(), old.size());
  ASSERT_TRUE(oldSocket);
  EXPECT_FALSE(oldSocket->counted);
  EXPECT_EQ(oldSocket->bytesSent, 0u);

  // A message cut short, one claiming more bytes than it has, another family.
  EXPECT_FALSE(SockDiag::parseMessage(whole.data(), NLMSG_HDRLEN + 8));
  auto lying = whole;
  reinterpret_cast<nlmsghdr*>(lying.data())->nlmsg_len = uint32_t(whole.size() + 64);
  EXPECT_FALSE(SockDiag::parseMessage(lying.data(), lying.size()));
  const auto local = answer(sizeof(tcp_info), AF_UNIX);
  EXPECT_FALSE(SockDiag::parseMessage(local.data(), local.size()));
}

TEST(SockDiagText, StatesAndAddresses) {
  EXPECT_EQ(SockDiag::stateText(10), "Listen");
  EXPECT_EQ(SockDiag::stateText(1), "Established");
  EXPECT_EQ(SockDiag::stateText(8), "CloseWait");
  EXPECT_EQ(SockDiag::stateText(200), "Unknown");
  std::array<uint8_t, 16> mapped{};
  mapped[10] = mapped[11] = 0xff;
  mapped[12] = 127;
  mapped[15] = 1;
  EXPECT_EQ(SockDiag::addressText(mapped, true), "::ffff:127.0.0.1");
}

}  // namespace
}  // namespace kelvane
