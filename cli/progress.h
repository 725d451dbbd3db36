// A one-line progress bar on stderr for long jobs: percent, MiB done of MiB, throughput and the
// cache level. It draws only when stderr is a terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace torvik::cli {

class ProgressBar {
 public:
  // enabled: the caller's wish (--quiet turns it off); drawing also needs a terminal.
  explicit ProgressBar(bool enabled);
  ~ProgressBar();

  bool Active() const { return active_; }
  // done and total in bytes; cacheFill 0..1, or negative when there is none to show.
  void Update(uint64_t done, uint64_t total, double cacheFill);
  // Clears the line so the next message starts on a clean one.
  void Finish();

  // The text of one bar line (without the carriage return), for a terminal `width` wide.
  static std::string Format(uint64_t done, uint64_t total, double mibPerSecond, double cacheFill,
                            int width);

 private:
  bool active_ = false;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
};

}  // namespace torvik::cli
