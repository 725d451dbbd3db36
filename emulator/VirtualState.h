// The state file of a virtual drive: a small "key=value" text beside the sector file that holds
// the medium, the drive's configuration and the armed faults. People edit it by hand to set up
// a drive, so it is forgiving about blank lines and comments and strict about values.
#pragma once

#include <string>

#include "emulator/VirtualMedium.h"

namespace torvik::vdrive {

std::string SerializeState(const MediumState& m);

// Parses a state text. Keys that are absent keep the values of a blank medium of the profile
// the text names (default `fallbackProfile`). Returns false with a message on a bad line.
bool ParseState(const std::string& text, const ProfileInfo& fallbackProfile, MediumState* out,
                std::string* error);

// Reads PATH.state; a missing file leaves *out untouched and reports `*missing`.
bool LoadStateFile(const std::string& statePath, const ProfileInfo& fallbackProfile,
                   MediumState* out, bool* missing, std::string* error);

// Writes atomically: a temporary file beside the target, then rename.
bool SaveStateFile(const std::string& statePath, const MediumState& m, std::string* error);

}  // namespace torvik::vdrive
