// The MMC command layer: one function per drive command, the write-parameters page, drive
// speeds, and the read/write throughput measurement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "device/bvkDeviceTypes.h"
#include "device/bvkSCSILib.h"

namespace torvik {

bool TestUnitReady(TSCSIDevice& d);
bool RezeroUnit(TSCSIDevice& d);
bool FormatUnit(TSCSIDevice& d, uint8_t cdb1, uint8_t* list, uint32_t length);
bool Inquiry(TSCSIDevice& d, uint8_t* buffer);  // 64 bytes
bool LoadMedium(TSCSIDevice& d, bool Immediate);
bool EjectMedium(TSCSIDevice& d, bool Immediate);
bool LockMedium(TSCSIDevice& d);
bool UnlockMedium(TSCSIDevice& d);
bool ReadFormatCapacities(TSCSIDevice& d);  // 124 bytes into tmpBuffer
bool Read10(TSCSIDevice& d, uint32_t LBA, uint16_t blocks, uint8_t* buffer);
bool Write10(TSCSIDevice& d, uint32_t LBA, uint16_t blocks, uint32_t bytes, uint8_t* buffer);
bool SynchronizeCache(TSCSIDevice& d, bool Immediate);
bool ReadTocPmaAtip(TSCSIDevice& d, uint8_t format, uint8_t number, uint8_t length,
                    uint8_t* buffer, bool MSF);
bool GetConfiguration(TSCSIDevice& d, uint16_t feature, uint8_t* buffer, uint16_t length);
// Asks for one feature (length bytes) and keeps the reply in ConfigHeader.
bool GetConfiguration(TSCSIDevice& d, uint16_t feature, uint16_t length);
bool ReadDiscInformation(TSCSIDevice& d, uint8_t* buffer, uint16_t length);
// 64 bytes into DiscInformation.
bool ReadDiscInformation(TSCSIDevice& d);
bool ReadTrackInformation(TSCSIDevice& d, uint8_t track);
bool ReserveTrack(TSCSIDevice& d, uint32_t blocks);
bool ModeSelect10(TSCSIDevice& d, uint8_t* buffer, uint16_t length);
bool ModeSense10(TSCSIDevice& d, uint8_t page, bool defaults, uint8_t* buffer, uint16_t length);
bool CloseTrackSession(TSCSIDevice& d, bool Immediate, uint8_t function, uint8_t b3, uint8_t b4,
                       uint8_t b5);
bool CloseTrackOrSession(TSCSIDevice& d, bool track, bool Immediate, uint8_t number);
bool ReadBufferCapacity(TSCSIDevice& d);
bool Blank(TSCSIDevice& d, bool Quick);
bool SetStreaming(TSCSIDevice& d, uint8_t* buffer, uint16_t length);
bool SetCDSpeed(TSCSIDevice& d, uint16_t read, uint16_t write);
bool SendDVDStructure(TSCSIDevice& d, uint8_t format, uint8_t* buffer, uint16_t length);

// The tray of the current drive: the kernel's CD layer for a real drive, START STOP UNIT for a
// virtual one.
bool OpenTray(TSCSIDevice& d);
bool CloseTray(TSCSIDevice& d);

uint8_t GetLastTrackNumber(TSCSIDevice& d);
bool SetWriteParameters(TSCSIDevice& d, bool TestWrite, bool BurnProof, TMedium medium,
                        bool MultiSession);
bool SetDeviceSpeed(TSCSIDevice& d, uint16_t ReadSpeed, uint16_t WriteSpeed);
bool SetStreamingPerformance(TSCSIDevice& d, uint32_t EndLBA, uint32_t ReadSize,
                             uint32_t ReadTime, uint32_t WriteSize, uint32_t WriteTime);
bool SendTimestamp(TSCSIDevice& d);
// The fourteen "YYYYMMDDhhmmss" characters SendTimestamp sends for a time (local time).
void FormatTimestamp(std::time_t t, char out[14]);

// Offset of the first mode page in a MODE SENSE (10) reply of n bytes (header + block
// descriptors), or 0 when the reply cannot hold a page there.
size_t ModePageOffset(const uint8_t* reply, size_t n);

// Throughput.
uint16_t AverageReadSpeed(TSCSIDevice& d);
uint16_t AverageWriteSpeed(TSCSIDevice& d);
void ResetSpeedSamples(TSCSIDevice& d);
// Bytes per second over the 64 samples.
uint64_t InstantSpeed(TSCSIDevice& d);
// Each returns what the previous call computed and stores ceil(InstantSpeed / 1024) for the next.
uint16_t BMWriteSpeed(TSCSIDevice& d);
uint16_t BMReadSpeed(TSCSIDevice& d);
void AddSpeedSample(TSCSIDevice& d, int64_t bytes, int64_t ticks);

}  // namespace torvik
