// Virtual drives, source trees and independent readers for the disc-writing tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "burner/bvkCDBurner.h"
#include "burner/bvkDiscWriter.h"
#include "device/bvkCapabilities.h"
#include "device/bvkMMC.h"
#include "emulator/VirtualDrive.h"
#include "emulator/VirtualMedium.h"
#include "layout/bvkCache.h"
#include "layout/bvkISO9660.h"
#include "../burner/burner_test_support.h"

namespace torvik::test {

// Sectors [from, from + count) of a file; what lies past its end reads as zeros.
inline std::vector<uint8_t> Sectors(const fs::path& p, uint32_t from, uint32_t count) {
  std::vector<uint8_t> out(size_t(count) * 2048, 0);
  std::ifstream f(p, std::ios::binary);
  f.seekg(std::streamoff(from) * 2048);
  f.read(reinterpret_cast<char*>(out.data()), std::streamsize(out.size()));
  return out;
}

// A small tree with files of awkward sizes (empty, one byte, just over a sector, several
// packets) in nested folders.
inline std::map<std::string, std::vector<uint8_t>> MakeTree(const fs::path& root, uint32_t seed) {
  std::map<std::string, std::vector<uint8_t>> files = {
      {"readme.txt", Pattern(1, seed)},
      {"empty.dat", {}},
      {"docs/a.bin", Pattern(2049, seed + 1)},
      {"docs/deep/b.bin", Pattern(300000, seed + 2)},
      {"music/track01.raw", Pattern(65536 * 3 + 17, seed + 3)},
  };
  for (const auto& [rel, bytes] : files) WriteFile(root / rel, bytes);
  return files;
}

// Lists what xorriso extracts from a disc's sector file, loading the session that starts at
// `sessionStart`. Empty map when xorriso fails.
inline std::map<std::string, std::vector<uint8_t>> ExtractWithXorriso(const fs::path& disc,
                                                                      uint32_t sessionStart,
                                                                      const fs::path& out) {
  fs::remove_all(out);
  std::string cmd = "xorriso -abort_on NEVER -osirrox on";
  if (sessionStart != 0) cmd += " -load sbsector " + std::to_string(sessionStart);
  cmd += " -indev '" + disc.string() + "' -extract / '" + out.string() + "' >'" +
         out.string() + ".log' 2>&1";
  std::map<std::string, std::vector<uint8_t>> files;
  if (std::system(cmd.c_str()) != 0) return files;
  for (const auto& e : fs::recursive_directory_iterator(out)) {
    if (!e.is_regular_file()) continue;
    files[fs::relative(e.path(), out).string()] = ReadFile(e.path());
  }
  return files;
}

// What bsdtar extracts from a disc's sector file: the volume whose descriptors sit at sector 16,
// which is where readers look on an overwritable disc and on a single-session one. Empty map
// when bsdtar fails.
inline std::map<std::string, std::vector<uint8_t>> ExtractWithBsdtar(const fs::path& disc,
                                                                     const fs::path& out) {
  fs::remove_all(out);
  fs::create_directories(out);
  const std::string cmd = "bsdtar -xf '" + disc.string() + "' -C '" + out.string() + "' >'" +
                          out.string() + ".log' 2>&1";
  std::map<std::string, std::vector<uint8_t>> files;
  if (std::system(cmd.c_str()) != 0) return files;
  for (const auto& e : fs::recursive_directory_iterator(out))
    if (e.is_regular_file()) files[fs::relative(e.path(), out).string()] = ReadFile(e.path());
  return files;
}

// Where a reader looks for the newest tree: the start of the first track of the last session
// that holds data, as the disc's TOC and track information tell it (never what the writer
// meant to do). Overwritable media hold one volume at sector 0.
inline uint32_t LastSessionStart(const vdrive::MediumState& m) {
  uint16_t session = 0;
  uint32_t start = 0;
  for (const auto& t : m.tracks)
    if (t.state == vdrive::TrackState::Complete && t.session > session) {
      session = t.session;
      start = t.start;
    }
  return start;
}

// Runs one disc job the way the component does: the starter's disc preparation, the header,
// the producer, the write thread's disc half. Returns true when the job succeeded.
inline bool RunDiscJob(TBrenvik& b) {
  TCDFiles& cd = b.CDFiles;
  TSCSIDevice& d = b.Device;
  d.Medium = GetMedium(d);
  cd.SaveToISOImage = false;
  cd.ErrorNumber = 0;
  if (!PrepareDiscTarget(cd, d)) return false;
  if (!cd.BurnISOImage && !BuildISOHeader(cd)) return false;
  cd.Aborted = false;
  cd.ComponentStatus = CS_WRITING;
  bool ok;
  {
    TCacheThread producer(cd);
    WaitForCanStart(cd);
    TDiscWriter writer(cd, d);
    ok = writer.Run();
    WaitForCacheThreadTerminated(cd);
  }
  cd.ComponentStatus = CS_IDLE;
  return ok;
}

using Tree = std::map<std::string, std::vector<uint8_t>>;

// How two trees differ, name by name ("" when they are equal); short enough for a failure
// message, unlike the trees themselves.
inline std::string TreeDifference(const Tree& got, const Tree& want) {
  std::string out;
  for (const auto& [rel, bytes] : want) {
    auto it = got.find(rel);
    if (it == got.end()) out += " missing " + rel + ";";
    else if (it->second != bytes) out += " differs " + rel + ";";
  }
  for (const auto& [rel, bytes] : got)
    if (!want.count(rel)) out += " extra " + rel + ";";
  return out;
}

// What a disc written by a test must read back as.
struct DiscContents {
  Tree last;                                       // the newest tree; empty: none to be found
  bool lastBroken = false;  // a failed burn closed the session it left: not read, only older ones
  std::vector<std::pair<uint32_t, Tree>> earlier;  // older sessions still read from their start
  bool udf = false;                                // the newest volume carries a UDF bridge
};

// A disc whose newest tree is `last` and which holds nothing older that readers still reach.
inline DiscContents Holding(Tree last, bool udf = false) {
  DiscContents c;
  c.last = std::move(last);
  c.udf = udf;
  return c;
}

// The disc as independent readers see it, from its sector file and the drive's TOC:
// - xorriso loads the last complete session (sector 0 on overwritable media) and extracts
//   exactly `want.last`; on media that grow in place the caller's tree says which old files the
//   new volume still holds and which it replaced;
// - bsdtar, which only looks at sector 16, finds the same where that is the newest volume
//   (overwritable media, and discs with one session at sector 0);
// - the older sessions of write-once media still read back from their own starts;
// - with a UDF bridge, every anchor (sector 256 of the volume, its last sector, and N-256 when
//   an anchor sits there) names its own sector in its tag.
inline void ExpectDiscReadsBack(const fs::path& disc, const vdrive::MediumState& m,
                                const DiscContents& want, const fs::path& work) {
  fs::create_directories(work);
  const bool overwritable = m.profile->recording == vdrive::Recording::Overwritable;
  bool complete = overwritable;
  for (const auto& t : m.tracks) complete = complete || t.state == vdrive::TrackState::Complete;
  const uint32_t start = overwritable ? 0 : LastSessionStart(m);
  Tree last;
  if (complete && !want.lastBroken) last = ExtractWithXorriso(disc, start, work / "xorriso");
  if (!want.lastBroken) {
    EXPECT_EQ(TreeDifference(last, want.last), "") << "xorriso, session at " << start;
  }
  if (complete && !want.lastBroken &&
      (overwritable || (vdrive::view::CompleteSessions(m) == 1 && start == 0))) {
    EXPECT_EQ(TreeDifference(ExtractWithBsdtar(disc, work / "bsdtar"), want.last), "")
        << "bsdtar";
  }
  int n = 0;
  for (const auto& [at, tree] : want.earlier) {
    EXPECT_EQ(TreeDifference(ExtractWithXorriso(disc, at, work / ("earlier" + std::to_string(n++))),
                             tree), "")
        << "xorriso, earlier session at " << at;
  }

  if (!want.udf || want.last.empty() || want.lastBroken) return;
  const auto pvd = Sectors(disc, start + 16, 1);
  ASSERT_EQ(pvd[0], 1) << "no primary volume descriptor at " << start + 16;
  const uint32_t size = uint32_t(pvd[80] | pvd[81] << 8 | pvd[82] << 16 | uint32_t(pvd[83]) << 24);
  // A volume counts its size from sector 0, on grown discs and in later sessions alike.
  const uint32_t end = size;
  ASSERT_GT(end, start + 257u) << "a volume too small for its anchor";
  auto tagOf = [&](uint32_t at, bool required) {
    const auto d = Sectors(disc, at, 1);
    const uint16_t id = uint16_t(d[0] | d[1] << 8);
    if (id != 2 && !required) return;
    EXPECT_EQ(id, 2) << "no anchor at " << at;
    const uint32_t location = uint32_t(d[12] | d[13] << 8 | d[14] << 16 | uint32_t(d[15]) << 24);
    EXPECT_EQ(location, at) << "the anchor at " << at << " names another sector";
  };
  tagOf(start + 256, true);
  tagOf(end - 1, true);
  tagOf(end - 1 - 256, false);
}

// A component with one virtual drive of `profile`, waits shortened so faults cost no time.
struct VirtualBurner {
  fs::path dir;
  fs::path disc;
  std::unique_ptr<TBrenvik> b;

  VirtualBurner(const fs::path& d, const std::string& profile, uint32_t capacity = 0)
      : dir(d), disc(d / "disc.img") {
    fs::create_directories(dir);
    vdrive::CreateOptions o;
    o.capacity = capacity;
    std::string error;
    EXPECT_TRUE(vdrive::VirtualDrive::Create(disc.string(), profile, o, &error)) << error;
    Attach();
  }

  // A new component on the same drive (a second program run).
  void Attach() {
    b = std::make_unique<TBrenvik>();
    b->Device.Setup.SysfsRoot = (dir / "no-sysfs").string();
    b->Device.Setup.NotReadyPollMs = 0;
    b->Device.Setup.RetryPollMs = 0;
    b->Device.Setup.CloseLimitMs = 50;
    b->Device.Setup.LongOperationLimitMs = 50;
    b->AddVirtualDrive(disc.string());
    ASSERT_TRUE(b->InitializeASPI(false, "", ""));
    ASSERT_TRUE(b->SelectDeviceByLetter("vd0"));
  }

  vdrive::MediumState State() {
    std::string error;
    auto v = vdrive::VirtualDrive::Open(disc.string(), &error);
    EXPECT_TRUE(v) << error;
    return v ? v->State() : vdrive::MediumState{};
  }

  void Change(const std::function<void(vdrive::MediumState&)>& f) {
    std::string error;
    auto v = vdrive::VirtualDrive::Open(disc.string(), &error);
    ASSERT_TRUE(v) << error;
    ASSERT_TRUE(v->Update(f, &error)) << error;
  }
};

inline void ExpectDiscReadsBack(VirtualBurner& vb, const DiscContents& want,
                                const std::string& what = "readback") {
  ExpectDiscReadsBack(vb.disc, vb.State(), want, vb.dir / what);
}

}  // namespace torvik::test
