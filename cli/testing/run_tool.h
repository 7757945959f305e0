#pragma once
// Runs the built kelvane tool for a test, as a shell command line, and returns
// what it printed on both of its outputs.
#include <cstdio>
#include <string>
#include <sys/wait.h>

namespace kelvane::cli {

// Runs `prefix` (a wrapper such as setpriv, or nothing) with the tool and
// `arguments`; `status` gets the exit status, -1 when it did not exit.
inline std::string runTool(const std::string& arguments, int* status = nullptr,
                           const std::string& prefix = "") {
  const std::string command = prefix + KELVANE_CLI_PATH + " " + arguments + " 2>&1";
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  char buffer[4096];
  while (pipe && std::fgets(buffer, sizeof buffer, pipe)) output += buffer;
  const int result = pipe ? ::pclose(pipe) : -1;
  if (status) *status = WIFEXITED(result) ? WEXITSTATUS(result) : -1;
  return output;
}

}  // namespace kelvane::cli
