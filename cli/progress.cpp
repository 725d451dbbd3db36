#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace torvik::cli {
namespace {

int TerminalWidth() {
  winsize ws{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

}  // namespace

ProgressBar::ProgressBar(bool enabled)
    : active_(enabled && ::isatty(STDERR_FILENO)), start_(std::chrono::steady_clock::now()) {}

ProgressBar::~ProgressBar() { Finish(); }

std::string ProgressBar::Format(uint64_t done, uint64_t total, double mibPerSecond,
                                double cacheFill, int width) {
  const double fraction = total ? std::min(1.0, double(done) / double(total)) : 0.0;
  char tail[128];
  int n = std::snprintf(tail, sizeof tail, " %3d%%  %.1f of %.1f MiB  %.1f MiB/s",
                        int(fraction * 100.0), double(done) / 1048576.0,
                        double(total) / 1048576.0, mibPerSecond);
  if (cacheFill >= 0)
    std::snprintf(tail + n, sizeof tail - size_t(n), "  cache %3d%%",
                  int(std::clamp(cacheFill, 0.0, 1.0) * 100.0));
  const std::string text(tail);
  // The bar takes what the figures leave, at most 40 columns; none on a very narrow terminal.
  const int barWidth = std::min(40, width - 1 - int(text.size()) - 2);
  if (barWidth < 5) return text.substr(1);
  const int filled = int(fraction * barWidth);
  return "[" + std::string(size_t(filled), '#') + std::string(size_t(barWidth - filled), '.') +
         "]" + text;
}

void ProgressBar::Update(uint64_t done, uint64_t total, double cacheFill) {
  if (!active_) return;
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double speed = seconds > 0 ? double(done) / 1048576.0 / seconds : 0.0;
  const std::string line = Format(done, total, speed, cacheFill, TerminalWidth());
  std::fprintf(stderr, "\r%s\033[K", line.c_str());
  std::fflush(stderr);
  drawn_ = true;
}

void ProgressBar::Finish() {
  if (active_ && drawn_) {
    std::fprintf(stderr, "\r\033[K");
    std::fflush(stderr);
  }
  drawn_ = false;
}

}  // namespace torvik::cli
