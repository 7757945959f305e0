#include "core/net/docker_ports.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(DockerPortsParse, CapturedListing) {
  const std::string text =
      "shop-db-1\tshop\t0.0.0.0:5432->5432/tcp, :::5432->5432/tcp\n"
      "cache\t\t6379/tcp\n"  // not published
      "shop-web-1\tshop\t0.0.0.0:8080->80/tcp, :::8080->80/tcp, 443/tcp\n"
      "\n"
      "old-api\t\t127.0.0.1:3000->3000/tcp\r\n"
      "new-api\t\t0.0.0.0:3000->3000/tcp\n"  // a later line wins the port
      "mail\t\t[::1]:1025->1025/tcp\n";
  EXPECT_EQ(DockerPorts::parse(text),
            (std::map<uint16_t, std::string>{{1025, "mail"},
                                             {3000, "new-api"},
                                             {5432, "shop · shop-db-1"},
                                             {8080, "shop · shop-web-1"}}));
  EXPECT_EQ(DockerPorts::args[2],
            "{{.Names}}\t{{.Label \"com.docker.compose.project\"}}\t{{.Ports}}");
}

TEST(DockerPortsParse, BadLinesAddNothing) {
  const std::string text =
      "two\tfields\n"
      "four\tfields\t0.0.0.0:1->1/tcp\textra\n"
      "big\t\t0.0.0.0:70000->80/tcp, 0.0.0.0:-1->80/tcp, 0.0.0.0:->80/tcp\n"
      "range\t\t0.0.0.0:8000-8001->8000-8001/tcp\n"
      "\xff\xfe\tproj\xc3\t0.0.0.0:9000->9000/udp\n"
      "\t\t\n";
  EXPECT_EQ(DockerPorts::parse(text),
            (std::map<uint16_t, std::string>{{9000, "proj\uFFFD · \uFFFD\uFFFD"}}));
}

}  // namespace
}  // namespace kelvane
