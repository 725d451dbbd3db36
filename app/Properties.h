// The properties file: the user's drive, cache size, volume label and add-files filter, six
// lines ending in CR LF.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace torvik::app {

constexpr const char* kDefaultVolumeLabel = "TorvikDisc";

struct TProperties {
  int DriveIndex = 0;  // -1 when there is no drive
  int CacheIndex = 1;  // 0..3 for 64, 128, 256, 512 MB
  std::string VolumeLabel = kDefaultVolumeLabel;
  int FilterIndex = 1;  // 1 audio, 2 playlist, 3 all files

  bool operator==(const TProperties&) const = default;
};

// 64, 128, 256, 512 MB for the indexes 0..3; 0 for any other index.
int CacheMegabytes(int cacheIndex);
// The index for the text of a cache size; any other text gives 1 (128 MB).
int CacheIndexFromText(const std::string& text);

// Reads the lines of a file. Lines 1 and 4 that are not decimal integers give their defaults
// (the first drive, the audio filter), as does a filter index outside 1..3. Nothing unless
// there are exactly six lines.
std::optional<TProperties> ParseProperties(const std::vector<std::string>& lines);
// The six lines (without their ends).
std::vector<std::string> PropertiesLines(const TProperties& properties);

// The file's lines as a text file reader sees them: split at LF, a CR before it dropped, no
// line after a final line end.
std::vector<std::string> SplitLines(const std::string& content);

enum class TPropertiesFileState { Missing, Malformed, Valid };

struct TPropertiesRead {
  TPropertiesFileState State = TPropertiesFileState::Missing;
  TProperties Properties;  // the defaults unless State is Valid
};

// Reads the file; a file without exactly six lines is deleted.
TPropertiesRead ReadPropertiesFile(const std::string& path);
// Writes the file anew, creating its folders; false when it cannot be written.
bool WritePropertiesFile(const std::string& path, const TProperties& properties);

// $XDG_CONFIG_HOME (or ~/.config) / QXRegistration / TorvikProperties.
std::string DefaultPropertiesPath();

}  // namespace torvik::app
