#include "Properties.h"

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <system_error>

namespace torvik::app {

namespace fs = std::filesystem;

namespace {

std::optional<int> DecimalInteger(const std::string& text) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || text.empty()) return std::nullopt;
  return value;
}

}  // namespace

int CacheMegabytes(int cacheIndex) {
  return cacheIndex >= 0 && cacheIndex <= 3 ? 64 << cacheIndex : 0;
}

int CacheIndexFromText(const std::string& text) {
  for (int i = 0; i <= 3; ++i)
    if (text == std::to_string(CacheMegabytes(i))) return i;
  return 1;
}

std::optional<TProperties> ParseProperties(const std::vector<std::string>& lines) {
  if (lines.size() != 6) return std::nullopt;
  TProperties p;
  p.DriveIndex = DecimalInteger(lines[0]).value_or(0);
  p.CacheIndex = CacheIndexFromText(lines[1]);
  p.VolumeLabel = lines[2].empty() ? kDefaultVolumeLabel : lines[2];
  const int filter = DecimalInteger(lines[3]).value_or(1);
  p.FilterIndex = filter >= 1 && filter <= 3 ? filter : 1;
  return p;
}

std::vector<std::string> PropertiesLines(const TProperties& p) {
  return {std::to_string(p.DriveIndex), std::to_string(CacheMegabytes(p.CacheIndex)),
          p.VolumeLabel, std::to_string(p.FilterIndex), "0", "0"};
}

std::vector<std::string> SplitLines(const std::string& content) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < content.size()) {
    size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    std::string line = content.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

TPropertiesRead ReadPropertiesFile(const std::string& path) {
  TPropertiesRead result;
  std::ifstream in(path, std::ios::binary);
  if (!in) return result;
  const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  if (const auto parsed = ParseProperties(SplitLines(content))) {
    result.State = TPropertiesFileState::Valid;
    result.Properties = *parsed;
    return result;
  }
  std::error_code ec;
  fs::remove(path, ec);
  result.State = TPropertiesFileState::Malformed;
  return result;
}

bool WritePropertiesFile(const std::string& path, const TProperties& properties) {
  std::error_code ec;
  // On this system the folder would never exist beforehand, so it is made.
  fs::create_directories(fs::path(path).parent_path(), ec);
  std::string content;
  for (const std::string& line : PropertiesLines(properties)) content += line + "\r\n";
  const std::string partial = path + ".new";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << content;
    if (!out.flush()) return false;
  }
  fs::rename(partial, path, ec);
  return !ec;
}

std::string DefaultPropertiesPath() {
  std::string base;
  if (const char* x = std::getenv("XDG_CONFIG_HOME"); x != nullptr && *x == '/')
    base = x;
  else if (const char* h = std::getenv("HOME"); h != nullptr && *h != 0)
    base = std::string(h) + "/.config";
  else
    base = "/tmp";
  return base + "/QXRegistration/TorvikProperties";
}

}  // namespace torvik::app
