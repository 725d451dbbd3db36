#include "burner/bvkDriveWaits.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "device/bvkMMC.h"

namespace torvik {

void Sleep(uint32_t ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

bool SenseIsNotReady(const TSCSIDevice& d) {
  return d.LastSenseInfo.AddSenseCode == kSenseNotReady;
}

uint32_t PollBudget(uint32_t limitMs, uint32_t pollMs) {
  return std::max<uint32_t>(1, limitMs / std::max<uint32_t>(1, pollMs));
}

void SleepUnlessAborted(uint32_t ms, const TCDFiles& cd) {
  constexpr uint32_t kStep = 100;
  while (ms > 0 && !cd.Aborted) {
    const uint32_t step = std::min(ms, kStep);
    Sleep(step);
    ms -= step;
  }
}

bool WaitForLongOperation(TSCSIDevice& d, const TCDFiles& cd, bool pollTestUnitReady) {
  uint8_t reply[42];
  uint32_t budget = PollBudget(d.Setup.LongOperationLimitMs, d.Setup.NotReadyPollMs);
  while (true) {
    const bool answered =
        pollTestUnitReady ? TestUnitReady(d) : ReadDiscInformation(d, reply, sizeof reply);
    if (answered || !SenseIsNotReady(d)) return true;
    if (budget-- == 0 || cd.Aborted) return false;
    SleepUnlessAborted(d.Setup.NotReadyPollMs, cd);
  }
}

}  // namespace torvik
