// The texts of a running job without widgets: elapsed time, the progress lines, the space
// lines before a burn, the job's error with the drive's sense, and disc paths of the layout.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace torvik {
class TBrenvik;
struct TCDFiles;
}

namespace torvik::app {

// "2min 5s" from a tick count of a timer that ticks `ticksPerSecond` times a second.
std::string ElapsedText(uint64_t ticks, unsigned ticksPerSecond);

// "<prefix>1.00MB of 2.00 MB", with " (50.00%)" inserted before the end when `position` is not 0.
// Both counts are blocks of 2048 bytes.
std::string ProgressText(std::string_view prefix, uint64_t position, uint64_t range);

// "ElapsedTime: 0min 3s, Speed: 1385.00 KB/s".
std::string SpeedText(const std::string& elapsed, double kbPerSecond);

// The lines written before a burn once its size is known: free space and required space.
struct TSpaceCheck {
  bool Writable = false;
  int Sessions = 0;
  uint32_t FreeBlocks = 0;
  double SizeMiB = 0;
};
std::vector<std::string> SpaceLines(const TSpaceCheck& check);
// Free space strictly above the required: equal is not enough.
bool EnoughSpace(const TSpaceCheck& check);

// The image file name the save dialog's choice stands for: ".iso" appended unless the name
// already ends in it (any case).
std::string WithIsoExtension(std::string_view name);

// The component's error text, and for a drive's failure its sense as key/ASC/ASCQ with its
// meaning. Reads the numbers before ErrorString clears them.
std::string JobErrorText(TBrenvik& burner);

// The disc path ("/docs/a.bin") of every file entry of the layout, by file id.
std::vector<std::string> DiscPaths(const TCDFiles& files);

// The first source file below `paths` (files and folders, at any depth) that cannot be opened
// for reading, with the system's reason; empty when every one opens. Paths that no longer exist
// are skipped, as the layout skips them.
std::string FirstUnreadableSource(const std::vector<std::string>& paths);

}  // namespace torvik::app
