#include "BurnList.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace torvik::app {

namespace fs = std::filesystem;


std::string BlocksAsMiB(uint64_t blocks) { return FormatGrouped(double(blocks) * 0.001953125, 2); }

std::string WithoutTrailingSlash(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  return std::string(path);
}

std::string DisplayName(std::string_view path, bool folder) {
  const size_t slash = path.rfind('/');
  const std::string last(slash == std::string_view::npos ? path : path.substr(slash + 1));
  return folder ? last + " ( Folder )" : last;
}

size_t CharacterCount(std::string_view utf8) {
  size_t n = 0;
  for (const char c : utf8)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  return n;
}

std::optional<std::string> LengthCheck(std::string_view path, bool folder) {
  const size_t length = CharacterCount(path);
  if (length <= kMaxPathChars) return std::nullopt;
  return std::string(folder ? "Folder name " : "File name ") + std::string(path) + " to long (" +
         std::to_string(length) + " characters)! (128 characters maximum.)";
}

namespace {

uint64_t FolderBytes(const fs::path& folder, const std::atomic<bool>* cancel) {
  uint64_t total = 0;
  std::error_code ec;
  fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (cancel != nullptr && cancel->load()) break;
    std::error_code statError;
    // status() follows a link; a link to a folder is not descended into by the iterator.
    if (fs::is_regular_file(it->status(statError))) {
      const uintmax_t size = fs::file_size(it->path(), statError);
      if (!statError) total += size;
    }
  }
  return total;
}

}  // namespace

uint64_t ListedBytes(const std::vector<std::string>& paths, const std::atomic<bool>* cancel) {
  uint64_t total = 0;
  for (const std::string& p : paths) {
    if (cancel != nullptr && cancel->load()) break;
    std::error_code ec;
    const fs::file_status st = fs::status(p, ec);
    if (ec) continue;
    if (fs::is_directory(st)) {
      total += FolderBytes(p, cancel);
    } else if (fs::is_regular_file(st)) {
      const uintmax_t size = fs::file_size(p, ec);
      if (!ec) total += size;
    }
  }
  return total;
}

std::vector<std::string> SummaryLines(double totalMiB, size_t entries, const TDiscSpace& disc) {
  if (!(totalMiB > 0)) return {};
  std::vector<std::string> lines;
  if (!disc.Writable || disc.Sessions != 0)
    lines.push_back("Writable free disc space: 0MB");
  else
    lines.push_back("Writable free disc space: " + BlocksAsMiB(disc.FreeBlocks) + "MB");
  char required[64];
  std::snprintf(required, sizeof required, "%.2f", totalMiB * 1.0019);
  lines.push_back(std::string("Required writable free disc space about: ") + required + "MB");
  lines.push_back("Sum of added items: " + std::to_string(entries));
  return lines;
}

}  // namespace torvik::app
