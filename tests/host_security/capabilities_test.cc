// The capability drop, in a child process so the test program keeps its own. Root only.
#include "hosts/linux/capabilities.h"

#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

namespace quillnest::linuxhost {
namespace {

// Runs check in a child; its exit code is the number of the first failed step.
template <typename Check>
int inChild(Check check) {
  const pid_t pid = fork();
  if (pid == 0) _exit(check());
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST(Capabilities, KeepsExactlyTheDaemonsOnEveryLaterThreadAndExec) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const int failedStep = inChild([] {
    if (!keepOnlyCapabilities(kDaemonCapabilities).empty()) return 1;
    const CapabilitySets sets = currentCapabilities();
    if (sets.effective != kDaemonCapabilities || sets.permitted != kDaemonCapabilities) return 2;
    if (sets.bounding != kDaemonCapabilities || sets.inheritable != 0) return 3;
    if (prctl(PR_GET_NO_NEW_PRIVS, 0, 0, 0, 0) != 1) return 4;
    if (!keepOnlyCapabilities(kDaemonCapabilities).empty()) return 5;  // again: no change
    CapabilitySets inThread;
    std::thread([&] { inThread = currentCapabilities(); }).join();
    if (inThread.effective != kDaemonCapabilities || inThread.bounding != kDaemonCapabilities)
      return 6;
    // A root program executed afterwards (iptables) gets no more than we kept.
    FILE* child = popen("grep -E '^Cap(Eff|Prm|Bnd)' /proc/self/status", "r");
    if (!child) return 7;
    char line[128];
    int lines = 0;
    while (fgets(line, sizeof line, child)) {
      ++lines;
      if (std::string(line).find("0000000000003000") == std::string::npos) return 8;
    }
    if (pclose(child) != 0 || lines != 3) return 9;
    return 0;
  });
  EXPECT_EQ(failedStep, 0);
  // The test program itself kept what it had.
  EXPECT_NE(currentCapabilities().effective, kDaemonCapabilities);
}

}  // namespace
}  // namespace quillnest::linuxhost
