// The virtual drive's state file: arbitrary text into the parser. Whatever it accepts must come
// back unchanged through the writer: written, parsed again and written again, the two texts
// are the same.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "emulator/VirtualState.h"

using namespace torvik::vdrive;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the profile a text without a profile line falls back to.
  const auto& profiles = Profiles();
  const ProfileInfo& fallback = profiles[data[0] % profiles.size()];
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  MediumState m;
  std::string error;
  if (!ParseState(text, fallback, &m, &error)) return 0;
  const std::string written = SerializeState(m);
  MediumState again;
  if (!ParseState(written, fallback, &again, &error)) {
    std::fprintf(stderr, "written state does not parse: %s\n%s", error.c_str(), written.c_str());
    std::abort();
  }
  if (SerializeState(again) != written) {
    std::fprintf(stderr, "state changed on the way through:\n%s---\n%s", written.c_str(),
                 SerializeState(again).c_str());
    std::abort();
  }
  return 0;
}
