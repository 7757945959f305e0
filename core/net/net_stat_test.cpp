#include "core/net/net_stat.h"

#include <ostream>

#include <gtest/gtest.h>

namespace kelvane {

// Shows processes and connections as text in failure messages.
void PrintTo(const NetProc& proc, std::ostream* os) {
  *os << proc.name << "." << proc.pid << " in " << proc.bytesIn << " out " << proc.bytesOut;
  for (const auto& conn : proc.conns)
    *os << "\n  " << conn.key() << " [" << conn.state << "] " << conn.bytesIn << "/"
        << conn.bytesOut;
}

namespace {

using Proto = NetConn::Proto;

NetEndpoint at(std::string host, std::optional<uint16_t> port) { return {std::move(host), port}; }

// One sample as the tool prints it in comma-separated logging mode.
constexpr std::string_view kSample =
    ",bytes_in,bytes_out,state,\n"
    "tcp4 10.0.0.5:50000<->93.184.216.34:443,10,10,Established,\n"  // before any process
    "launchd.1,0,0,,\n"
    "mDNSResponder.415,128734,93211,,\n"
    "udp4 *:5353<->*:*,9634,8822,,\n"
    "udp6 *.5353<->*.*,1200,900,,\n"
    "cupsd.631,0,0,,\n"
    "tcp6 fe80::1%lo0.631<->*.*,0,0,Listen,\n"
    "tcp4 127.0.0.1:631<->*:*,0,0,Listen,\n"
    "\n"
    "com.apple.WebKit.Networking.812,5523344,812331,,\n"
    "quic4 192.168.1.23:61234<->142.250.74.110:443,5500000,800000,,\n"
    "tcp6 2a02:1210:5c3a::7c3.52144<->2a00:1450:400a:804::200e.443,23344,12331,Established,\n"
    "icmp4 *:*<->*:*,0,0,,\n"
    "node.40211,1048576,65536,,\r\n"
    "tcp4 *:5173<->*:*,0,0,Listen,\n"
    "tcp4 127.0.0.1:5173<->127.0.0.1:52311,1048576,65536,Established,\n";

TEST(NetStatParse, CapturedSample) {
  const std::vector<NetProc> expected{
      {1, "launchd", 0, 0, {}},
      {415,
       "mDNSResponder",
       128734,
       93211,
       {{Proto::udp, at("*", 5353), std::nullopt, "", 9634, 8822},
        {Proto::udp, at("*", 5353), std::nullopt, "", 1200, 900}}},
      {631,
       "cupsd",
       0,
       0,
       {{Proto::tcp, at("fe80::1%lo0", 631), std::nullopt, "Listen", 0, 0},
        {Proto::tcp, at("127.0.0.1", 631), std::nullopt, "Listen", 0, 0}}},
      {812,
       "com.apple.WebKit.Networking",
       5523344,
       812331,
       {{Proto::udp, at("192.168.1.23", 61234), at("142.250.74.110", 443), "", 5500000, 800000},
        {Proto::tcp, at("2a02:1210:5c3a::7c3", 52144), at("2a00:1450:400a:804::200e", 443),
         "Established", 23344, 12331}}},
      {40211,
       "node",
       1048576,
       65536,
       {{Proto::tcp, at("*", 5173), std::nullopt, "Listen", 0, 0},
        {Proto::tcp, at("127.0.0.1", 5173), at("127.0.0.1", 52311), "Established", 1048576,
         65536}}},
  };
  EXPECT_EQ(NetStat::parse(kSample), expected);
}

TEST(NetStatParse, HeaderDecidesTheColumns) {
  // Columns in another order, and a header without "state".
  EXPECT_EQ(NetStat::parse("state,,bytes_out,bytes_in\n"
                           "Listen,sshd.88,20,10\n"
                           "Listen,tcp4 *:22<->*:*,0,0\n"),
            std::vector<NetProc>{});  // the first field here is not the process field
  EXPECT_EQ(NetStat::parse(",state,bytes_out,bytes_in\n"
                           "sshd.88,,20,10\n"
                           "tcp4 *:22<->*:*,Listen,2,1\n"),
            (std::vector<NetProc>{
                {88, "sshd", 10, 20, {{Proto::tcp, at("*", 22), std::nullopt, "Listen", 1, 2}}}}));
  EXPECT_TRUE(NetStat::parse(",bytes_in,bytes_out,\nsshd.88,10,20,\n").empty());
  EXPECT_TRUE(NetStat::parse("").empty());
  EXPECT_TRUE(NetStat::parse("\n\n").empty());
}

TEST(NetStatParse, GarbageKeepsWhatIsReadable) {
  const std::string text =
      ",bytes_in,bytes_out,state,\n"
      "%%%% nettop: interrupted %%%%\n"             // neither kind of line
      "Safari.4000,99999999999999999999999,-5,,\n"  // counts too big or signed: 0
      "tcp4 10.0.0.2:51000<->17.253.144.10:443,12,x,Established,\n"
      "tcp4 10.0.0.2:99999<->17.253.144.10:443,1,1,Established,\n"  // port beyond 16 bits
      "tcp4 10.0.0.2<->17.253.144.10:443,1,1,Established,\n"        // no port separator
      "tcp4,1,1,Established,\n"
      "Weird\xff\xfeName.4001,7\n"                            // short line, bytes not UTF-8
      "udp4 *:*<->*:*\n"                                      // only the first field
      "Broken.99999999999,5,5,,\n"                            // process ID beyond 32 bits
      "tcp4 10.0.0.2:52000<->1.1.1.1:53,5,5,Established,\n";  // under the unreadable line
  const std::vector<NetProc> expected{
      {4000,
       "Safari",
       0,
       0,
       {{Proto::tcp, at("10.0.0.2", 51000), at("17.253.144.10", 443), "Established", 12, 0}}},
      {4001, "Weird\uFFFD\uFFFDName", 7, 0, {{Proto::udp, at("*", std::nullopt), {}, "", 0, 0}}},
  };
  EXPECT_EQ(NetStat::parse(text), expected);
}

TEST(NetEndpoint, ParseAndText) {
  EXPECT_EQ(NetEndpoint::parse("fe80::1%lo0.631", true), at("fe80::1%lo0", 631));
  EXPECT_EQ(NetEndpoint::parse("*.*", true), at("*", std::nullopt));
  EXPECT_EQ(NetEndpoint::parse("127.0.0.1:", false), at("127.0.0.1", std::nullopt));
  EXPECT_EQ(NetEndpoint::parse("::1.65535", true), at("::1", 65535));
  EXPECT_EQ(NetEndpoint::parse("::1.65536", true), std::nullopt);
  EXPECT_EQ(NetEndpoint::parse("10.0.0.1:+80", false), std::nullopt);
  EXPECT_EQ(NetEndpoint::parse("localhost", false), std::nullopt);
  EXPECT_EQ(at("fe80::1", 443).text(), "[fe80::1]:443");
  EXPECT_EQ(at("10.0.0.1", std::nullopt).text(), "10.0.0.1:*");
  const NetConn conn{Proto::udp, at("::", 5353), at("10.0.0.1", 53)};
  EXPECT_EQ(conn.key(), "UDP [::]:5353 10.0.0.1:53");
  EXPECT_EQ((NetConn{Proto::tcp, at("*", 22)}).key(), "TCP *:22");
}

TEST(NetEndpoint, Loopback) {
  for (const char* host : {"127.0.0.1", "127.1.2.3", "::1", "::ffff:127.0.0.1", "fe80::1%lo0"})
    EXPECT_TRUE(at(host, 80).isLoopback()) << host;
  for (const char* host : {"*", "0.0.0.0", "::", "10.0.0.1", "::ffff:10.0.0.1", "1270.0.0.1", ""})
    EXPECT_FALSE(at(host, 80).isLoopback()) << host;
}

TEST(NetStatDirection, ListeningAndOwnPorts) {
  const NetConn listen{Proto::tcp, at("*", 5173), std::nullopt, "Listen"};
  const NetConn served{Proto::tcp, at("127.0.0.1", 5173), at("127.0.0.1", 52311), "Established"};
  const NetConn client{Proto::tcp, at("127.0.0.1", 52311), at("127.0.0.1", 5173), "Established"};
  const NetConn udp{Proto::udp, at("*", 5173), at("10.0.0.1", 53)};
  const NetConn unknownPort{Proto::tcp, at("10.0.0.2", std::nullopt), at("10.0.0.1", 80),
                            "SynSent"};
  const NetConn listenWithPeer{Proto::tcp, at("*", 5173), at("10.0.0.1", 80), "Listen"};
  const std::set<uint16_t> listening{5173};
  const NetProc server{.conns = {listen, served}};
  EXPECT_EQ(server.listening(), listening);
  EXPECT_EQ(NetStat::direction(listen, listening), std::nullopt);
  EXPECT_EQ(NetStat::direction(listenWithPeer, listening), std::nullopt);
  EXPECT_EQ(NetStat::direction(served, listening), NetDirection::inbound);
  EXPECT_EQ(NetStat::direction(client, listening), NetDirection::outbound);
  EXPECT_EQ(NetStat::direction(udp, listening), NetDirection::outbound);
  EXPECT_EQ(NetStat::direction(unknownPort, listening), NetDirection::outbound);
  EXPECT_EQ(displayText(NetDirection::inbound), "Inbound");
  EXPECT_EQ(displayText(NetDirection::outbound), "Outbound");
}

}  // namespace
}  // namespace kelvane
