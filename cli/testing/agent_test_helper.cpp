// kelvane_agent_test_helper: a program for the agent's tests to run as the
// processes a sweep may stop. It does nothing but wait, so it stays idle:
//   idle            waits until a signal ends it
//   listen          listens on a free port of 127.0.0.1, prints the port, waits
// Signals keep their default actions: SIGTERM and SIGHUP end it.
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "listen") == 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0)
      return 1;
    std::printf("%d\n", ntohs(address.sin_port));
    std::fflush(stdout);
  } else if (argc != 2 || std::strcmp(argv[1], "idle") != 0) {
    std::fprintf(stderr, "usage: kelvane_agent_test_helper idle|listen\n");
    return 2;
  }
  for (;;) ::pause();
}
