#include "JobText.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "BurnList.h"
#include "burner/bvkCDBurner.h"
#include "device/bvkSCSIDefs.h"
#include "platform/bvkText.h"

namespace torvik::app {

namespace fs = std::filesystem;

std::string ElapsedText(uint64_t ticks, unsigned ticksPerSecond) {
  const uint64_t m = ticks / (60u * ticksPerSecond);
  const uint64_t s = ticks / ticksPerSecond - 60 * m;
  return std::to_string(m) + "min " + std::to_string(s) + "s";
}

std::string ProgressText(std::string_view prefix, uint64_t position, uint64_t range) {
  std::string text = std::string(prefix) + BlocksAsMiB(position) + "MB of " + BlocksAsMiB(range);
  if (position != 0 && range != 0) {
    char percent[32];
    std::snprintf(percent, sizeof percent, "%.2f", double(position) / double(range) * 100);
    return text + " MB (" + percent + "%)";
  }
  return text + " MB";
}

std::string SpeedText(const std::string& elapsed, double kbPerSecond) {
  char speed[32];
  std::snprintf(speed, sizeof speed, "%.2f", kbPerSecond);
  return "ElapsedTime: " + elapsed + ", Speed: " + speed + " KB/s";
}

std::vector<std::string> SpaceLines(const TSpaceCheck& c) {
  if (!(c.SizeMiB > 0)) return {};
  const std::string free = !c.Writable || c.Sessions != 0
                               ? std::string("0")
                               : FormatGrouped(c.FreeBlocks * 0.001953125, 2);
  char required[64];
  std::snprintf(required, sizeof required, "%.2f", c.SizeMiB);
  return {"Writable free disc space: " + free + "MB",
          std::string("Requied writable free disc space: ") + required + "MB"};
}

bool EnoughSpace(const TSpaceCheck& c) { return c.FreeBlocks * 0.001953125 > c.SizeMiB; }

std::string WithIsoExtension(std::string_view name) {
  std::string lower(name.size() >= 4 ? name.substr(name.size() - 4) : name);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char ch) { return char(std::tolower(ch)); });
  return lower == ".iso" ? std::string(name) : std::string(name) + ".iso";
}

std::string JobErrorText(TBrenvik& burner) { return burner.ErrorDescription(); }

std::vector<std::string> DiscPaths(const TCDFiles& cd) {
  std::vector<std::string> paths(cd.Files.size());
  for (const auto& dir : cd.Dirs) {
    std::u16string prefix;
    for (const TDirEntry* d = dir.get(); d->Parent && d->Parent != d; d = d->Parent)
      prefix = u"/" + d->LongName + prefix;
    for (pFileEntry e = dir->Files; e; e = e->NextFile)
      if (e->FileIndex >= 0 && size_t(e->FileIndex) < paths.size())
        paths[size_t(e->FileIndex)] = Utf16ToUtf8(prefix + u"/" + e->LongName);
  }
  return paths;
}

namespace {

std::string OpenFails(const fs::path& p) {
  const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return p.string() + ": " + std::strerror(errno);
  ::close(fd);
  return {};
}

}  // namespace

std::string FirstUnreadableSource(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    if (ec || !fs::exists(st)) continue;
    if (fs::is_regular_file(st)) {
      if (std::string why = OpenFails(path); !why.empty()) return why;
      continue;
    }
    if (!fs::is_directory(st)) continue;
    fs::recursive_directory_iterator it(path, ec), end;
    if (ec) return path + ": " + ec.message();
    for (; it != end; it.increment(ec)) {
      if (ec) return it->path().string() + ": " + ec.message();
      std::error_code fe;
      if (it->is_regular_file(fe))
        if (std::string why = OpenFails(it->path()); !why.empty()) return why;
    }
    if (ec) return path + ": " + ec.message();
  }
  return {};
}

}  // namespace torvik::app
