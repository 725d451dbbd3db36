// Running external programs from tests: the independent readers (xorriso, isoinfo, bsdtar,
// 7-Zip, udfinfo, udfclient, udfdump, blkid) and torvik-cli itself.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace torvik::testing {

struct CommandResult {
  int status = -1;  // the exit status, or -1 when the program did not exit normally
  std::string out;  // stdout and stderr together
};

// `s` as one shell word.
inline std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Runs `command` through the shell.
inline CommandResult RunCommand(const std::string& command) {
  CommandResult r;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return r;
  std::array<char, 4096> buf;
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) r.out.append(buf.data(), n);
  const int st = ::pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

// Runs torvik-cli (the build's own, named by TORVIK_CLI) with `args`.
inline CommandResult RunCli(const std::string& args) {
  const char* cli = std::getenv("TORVIK_CLI");
  if (cli == nullptr) return {-1, "TORVIK_CLI not set"};
  return RunCommand(std::string(cli) + " " + args);
}

inline bool HaveTool(const std::string& name) {
  return RunCommand("command -v " + name).status == 0;
}

}  // namespace torvik::testing
