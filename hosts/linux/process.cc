#include "hosts/linux/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace quillnest::linuxhost {
namespace {

// Memory files instead of pipes: nothing can deadlock on a full pipe, and no temp file is left.
int memoryFile(const char* name) { return memfd_create(name, MFD_CLOEXEC); }

bool writeAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return lseek(fd, 0, SEEK_SET) == 0;
}

std::string readAll(int fd) {
  std::string text;
  if (lseek(fd, 0, SEEK_SET) != 0) return text;
  char buffer[8192];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return text;
}

}  // namespace

ProcessResult runProcess(const std::vector<std::string>& argv, const std::string& input,
                         int timeoutMs) {
  ProcessResult result;
  if (argv.empty()) {
    result.startError = "no program given";
    return result;
  }
  int in = memoryFile("stdin");
  int out = memoryFile("stdout");
  int err = memoryFile("stderr");
  auto closeAll = [&] {
    for (int fd : {in, out, err})
      if (fd >= 0) close(fd);
  };
  if (in < 0 || out < 0 || err < 0 || !writeAll(in, input)) {
    result.startError = std::string("memfd: ") + std::strerror(errno);
    closeAll();
    return result;
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = fork();
  if (pid < 0) {
    result.startError = std::string("fork: ") + std::strerror(errno);
    closeAll();
    return result;
  }
  if (pid == 0) {
    // The daemon blocks its signals in every thread; the child must not inherit that.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    execvp(args[0], args.data());
    const char message[] = "exec failed\n";
    (void)!write(2, message, sizeof message - 1);
    _exit(127);
  }
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) break;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      result.startError = argv[0] + " timed out";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  if (WIFEXITED(status)) {
    result.exitCode = WEXITSTATUS(status);
    if (result.exitCode == 127) result.startError = "cannot run " + argv[0];
  }
  result.output = readAll(out);
  result.errorOutput = readAll(err);
  closeAll();
  return result;
}

}  // namespace quillnest::linuxhost
