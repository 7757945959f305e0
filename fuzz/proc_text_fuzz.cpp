// Feeds arbitrary bytes to every reader of /proc text: the whole input to each,
// as the kernel could hand a process's file over while it changes. Aborts when a
// reader gives a value its own text cannot hold.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/linux/proc_text.h"

namespace ProcText = kelvane::ProcText;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  if (const auto stat = ProcText::stat(input)) {
    if (stat->comm.size() > size) std::abort();
    (void)ProcText::ttyName(stat->ttyNr);
  }
  (void)ProcText::status(input);
  for (const bool v6 : {false, true})
    for (const auto& socket : ProcText::tcpTable(input, v6)) (void)socket.loopback();
  for (const auto& socket : ProcText::unixTable(input))
    if (socket.path.size() > size) std::abort();
  (void)ProcText::socketInode(input);
  (void)ProcText::bootTime(input);
  (void)ProcText::cpuTimes(input);
  if (const auto memory = ProcText::memInfo(input); memory && memory->available > memory->total)
    std::abort();
  (void)ProcText::pressure(input);
  if (size >= 4) {
    int32_t device = 0;
    __builtin_memcpy(&device, data, 4);
    (void)ProcText::ttyName(device);
  }
  return 0;
}
