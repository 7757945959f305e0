#include "core/net/net_stat.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

using Proto = NetConn::Proto;

// One line per process ("name.pid in/out") and per connection (indented).
std::vector<std::string> show(const std::vector<NetProc>& procs) {
  std::vector<std::string> out;
  const auto end = [](const NetEndpoint& e) {
    return e.host + "|" + (e.port ? std::to_string(*e.port) : "-");
  };
  for (const auto& p : procs) {
    out.push_back(p.name + "." + std::to_string(p.pid) + " " + std::to_string(p.bytesIn) + "/" +
                  std::to_string(p.bytesOut));
    for (const auto& c : p.conns)
      out.push_back("  " + std::string(rawValue(c.proto)) + " " + end(c.local) + " " +
                    (c.remote ? end(*c.remote) : "none") + " [" + c.state + "] " +
                    std::to_string(c.bytesIn) + "/" + std::to_string(c.bytesOut));
  }
  return out;
}

TEST(NetStatParse, CapturedSample) {
  const std::string sample =
      ",bytes_in,bytes_out,state,\n"
      "tcp4 10.0.0.5:50000<->93.184.216.34:443,10,10,Established,\n"  // before any process
      "mDNSResponder.415,128734,93211,,\n"
      "udp4 *:5353<->*:*,9634,8822,,\n"
      "udp6 *.5353<->*.*,1200,900,,\n"
      "cupsd.631,0,0,,\n"
      "tcp6 fe80::1%lo0.631<->*.*,0,0,Listen,\n"
      "\n"
      "com.apple.WebKit.Networking.812,5523344,812331,,\n"
      "quic4 192.168.1.23:61234<->142.250.74.110:443,5500000,800000,,\n"
      "tcp6 2a02:1210:5c3a::7c3.52144<->2a00:1450:400a:804::200e.443,23344,12331,Established,\n"
      "icmp4 *:*<->*:*,0,0,,\n"
      "node.40211,1048576,65536,,\r\n"
      "tcp4 127.0.0.1:5173<->127.0.0.1:52311,1048576,65536,Established,\n";
  EXPECT_EQ(show(NetStat::parse(sample)),
            (std::vector<std::string>{
                "mDNSResponder.415 128734/93211", "  UDP *|5353 none [] 9634/8822",
                "  UDP *|5353 none [] 1200/900", "cupsd.631 0/0",
                "  TCP fe80::1%lo0|631 none [Listen] 0/0",
                "com.apple.WebKit.Networking.812 5523344/812331",
                "  UDP 192.168.1.23|61234 142.250.74.110|443 [] 5500000/800000",
                "  TCP 2a02:1210:5c3a::7c3|52144 2a00:1450:400a:804::200e|443 [Established] "
                "23344/12331",
                "node.40211 1048576/65536",
                "  TCP 127.0.0.1|5173 127.0.0.1|52311 [Established] 1048576/65536"}));
}

TEST(NetStatParse, HeaderDecidesTheColumns) {
  EXPECT_EQ(show(NetStat::parse(",state,bytes_out,bytes_in\nsshd.88,,20,10\n"
                                "tcp4 *:22<->*:*,Listen,2,1\n")),
            (std::vector<std::string>{"sshd.88 10/20", "  TCP *|22 none [Listen] 1/2"}));
  EXPECT_TRUE(NetStat::parse(",bytes_in,bytes_out,\nsshd.88,10,20,\n").empty());
  EXPECT_TRUE(NetStat::parse("\n\n").empty());
}

TEST(NetStatParse, GarbageKeepsWhatIsReadable) {
  const std::string text =
      ",bytes_in,bytes_out,state,\n"
      "%%%% nettop: interrupted %%%%\n"
      "Safari.4000,99999999999999999999999,-5,,\n"  // counts too big or signed: 0
      "tcp4 10.0.0.2:51000<->17.253.144.10:443,12,x,Established,\n"
      "tcp4 10.0.0.2:99999<->17.253.144.10:443,1,1,Established,\n"  // port beyond 16 bits
      "tcp4 10.0.0.2<->17.253.144.10:443,1,1,Established,\n"        // no port separator
      "Weird\xff\xfeName.4001,7\n"                                  // short line, not UTF-8
      "udp4 *:*<->*:*\n"
      "Broken.99999999999,5,5,,\n"                            // process ID beyond 32 bits
      "tcp4 10.0.0.2:52000<->1.1.1.1:53,5,5,Established,\n";  // not credited to Weird
  EXPECT_EQ(show(NetStat::parse(text)),
            (std::vector<std::string>{"Safari.4000 0/0",
                                      "  TCP 10.0.0.2|51000 17.253.144.10|443 [Established] 12/0",
                                      "Weird\uFFFD\uFFFDName.4001 7/0", "  UDP *|- none [] 0/0"}));
}

TEST(NetEndpoint, ParseTextAndLoopback) {
  EXPECT_EQ(NetEndpoint::parse("::1.65536", true), std::nullopt);
  EXPECT_EQ(NetEndpoint::parse("10.0.0.1:+80", false), std::nullopt);
  EXPECT_EQ((NetConn{Proto::udp, {"::", 5353}, NetEndpoint{"::1", {}}}).key(),
            "UDP [::]:5353 [::1]:*");
  for (const char* host : {"127.1.2.3", "::1", "::ffff:127.0.0.1", "fe80::1%lo0"})
    EXPECT_TRUE((NetEndpoint{host, 80}).isLoopback()) << host;
  for (const char* host : {"*", "::", "10.0.0.1", "::ffff:10.0.0.1", "1270.0.0.1"})
    EXPECT_FALSE((NetEndpoint{host, 80}).isLoopback()) << host;
}

// Served and outgoing connections are also told apart in the traffic rows.
TEST(NetStatDirection, ListeningSocketsUdpAndUnknownPorts) {
  const NetEndpoint peer{"127.0.0.1", 52311};
  const NetProc server{.conns = {{Proto::tcp, {"*", 5173}, std::nullopt, "Listen"},
                                 {Proto::tcp, {"*", 8080}, peer, "Listen"}}};
  const auto listening = server.listening();
  EXPECT_EQ(listening, (std::set<uint16_t>{5173, 8080}));
  EXPECT_EQ(NetStat::direction(server.conns[1], listening), std::nullopt);
  EXPECT_EQ(NetStat::direction({Proto::udp, {"*", 5173}, peer}, listening), NetDirection::outbound);
  EXPECT_EQ(NetStat::direction({Proto::tcp, {"a", {}}, peer, "SynSent"}, listening),
            NetDirection::outbound);
}

}  // namespace
}  // namespace kelvane
