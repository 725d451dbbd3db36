// Permission bits do not stop root, and the tests may run as root: a check that needs a folder
// to be unreadable runs in a child process that has dropped to "nobody".
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace torvik {

// Runs check as an unprivileged user: directly when we are not root, else in a forked child.
// Returns false when that cannot be arranged; passed receives check's result.
inline bool RunUnprivileged(const std::function<bool()>& check, bool& passed) {
  if (geteuid() != 0) {
    passed = check();
    return true;
  }
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
    _exit(check() ? 0 : 1);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) == 2)
    return false;
  passed = WEXITSTATUS(status) == 0;
  return true;
}

}  // namespace torvik
