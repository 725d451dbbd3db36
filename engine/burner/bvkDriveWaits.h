// Waiting for a drive: the not-ready polls of long operations (format, blank, close), bounded
// by the device's limits and cut short by an abort. Shared by the disc writer and the erase.
#pragma once

#include <cstdint>

#include "device/bvkSCSILib.h"
#include "layout/bvkTreeTypes.h"

namespace torvik {

constexpr uint8_t kSenseNotReady = 0x04;

void Sleep(uint32_t ms);

// Whether the last command's sense says "logical unit not ready" (ASC 04h).
bool SenseIsNotReady(const TSCSIDevice& d);

// How many polls of `pollMs` fit into `limitMs`; at least one, so a zero interval (tests)
// still gives the drive `limitMs` chances.
uint32_t PollBudget(uint32_t limitMs, uint32_t pollMs);

// Sleeps `ms` in short steps that end early once the job is aborted: a real drive is polled
// every few seconds, and an abort must not wait that long.
void SleepUnlessAborted(uint32_t ms, const TCDFiles& cd);

// Waits out a format or blank the drive is still busy with, polling READ DISC INFORMATION (or
// TEST UNIT READY) until the drive no longer reports "not ready". False when the limit ran out
// or the job was aborted.
bool WaitForLongOperation(TSCSIDevice& d, const TCDFiles& cd, bool pollTestUnitReady = false);

}  // namespace torvik
