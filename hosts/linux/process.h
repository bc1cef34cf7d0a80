// Runs a helper program (iptables-restore and friends) without a shell.
#pragma once

#include <string>
#include <vector>

namespace quillnest::linuxhost {

struct ProcessResult {
  int exitCode = -1;  // -1: could not be started or did not exit normally
  std::string output;
  std::string errorOutput;
  std::string startError;  // why it could not be started
};

// argv[0] is looked up on PATH. input is the program's standard input. The program gets at most
// timeoutMs before it is killed.
ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input,
                         int timeoutMs = 10000);

}  // namespace quillnest::linuxhost
