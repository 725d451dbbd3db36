// The burn list's texts and arithmetic without widgets: display names, the length limit, the
// size of the listed files and folders, and the summary against the disc's free space.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/bvkText.h"

namespace torvik::app {

// Longest full path the burn list takes, in characters.
constexpr size_t kMaxPathChars = 128;

// "#,##0" (decimals 0) and "#,##0.00" (decimals 2), shared with torvik-cli.
using torvik::FormatGrouped;
// Blocks of 2048 bytes as MiB, "#,##0.00".
std::string BlocksAsMiB(uint64_t blocks);

// A file shows its name; a folder its last component and " ( Folder )". The path carries no
// trailing slash.
std::string DisplayName(std::string_view path, bool folder);
// Removes trailing slashes, but leaves "/" itself.
std::string WithoutTrailingSlash(std::string_view path);

// The refusal for a path over the limit, or nothing when it may be added. Length counts
// characters, not bytes.
std::optional<std::string> LengthCheck(std::string_view path, bool folder);
size_t CharacterCount(std::string_view utf8);

// The bytes of the listed paths: a file's size, a folder's files at any depth (links to files
// count, links to folders are not followed, a folder's own size counts nothing). Unreadable
// entries count nothing. `cancel`, when given and set, stops the walk early.
uint64_t ListedBytes(const std::vector<std::string>& paths,
                     const std::atomic<bool>* cancel = nullptr);

// The disc's side of the summary.
struct TDiscSpace {
  bool Writable = false;
  int Sessions = 0;
  uint32_t FreeBlocks = 0;
};

// The summary lines for `totalMiB` (bytes / 1024 / 1024) over `entries` entries; none when the
// total is 0.
std::vector<std::string> SummaryLines(double totalMiB, size_t entries, const TDiscSpace& disc);

}  // namespace torvik::app
