// Every writable medium, in every state a disc comes in, under every job and every fault the
// virtual drive can produce: the job either succeeds and the disc reads back whole, or fails
// with the fault's own error and the disc reads back as it did before.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "burn_test_support.h"

namespace torvik {
namespace {

using test::DiscContents;
using test::Tree;
using test::VirtualBurner;
namespace fs = std::filesystem;

enum class Before { Blank, Appendable, Interrupted, Finalized };
enum class Job { Burn, Multisession, Image };
enum class Fault {
  None,
  WriteError,     // the third WRITE fails with 03/0C/00
  Busy,           // the first commands of the job are answered BUSY
  NotReady,       // the drive stays "becoming ready" far past the job's limits
  BecomingReady,  // the drive is "becoming ready" for the job's first few commands
  UnitAttention,  // a power-on reset is reported to the job's first command
  MediumRemoved,  // from the third WRITE on, every command finds no medium
  ReadError16,    // sector 16 cannot be read
};
enum class Abort { None, Writing, Closing };

const char* Name(Before b) {
  const char* n[] = {"blank", "appendable", "interrupted", "finalized"};
  return n[int(b)];
}
const char* Name(Job j) {
  const char* n[] = {"burn", "multisession", "image"};
  return n[int(j)];
}
const char* Name(Fault f) {
  const char* n[] = {"none",           "write-error",    "busy",    "not-ready",
                     "becoming-ready", "unit-attention", "removed", "read-error-16"};
  return n[int(f)];
}
const char* Name(Abort a) {
  const char* n[] = {"", " abort-writing", " abort-closing"};
  return n[int(a)];
}

struct Cell {
  const vdrive::ProfileInfo* profile;
  Before before;
  Job job;
  Fault fault;
  Abort abort;

  bool Overwritable() const { return profile->recording == vdrive::Recording::Overwritable; }
  std::string Label() const {
    return std::string(profile->name) + " " + Name(before) + " " + Name(job) + " " + Name(fault) +
           Name(abort);
  }
};

// The cells that mean something. Overwritable media are never finalized; a finalized disc is
// refused before any command could meet a fault; aborts are tried on an otherwise healthy
// drive; sector 16 is read before writing only where a volume grows in place; an image is
// built for sector 0, which on a write-once disc holding sessions is not where it would go
// (torvik-cli refuses that before the engine sees it).
bool Meaningful(const Cell& c) {
  if (c.before == Before::Finalized)
    return !c.Overwritable() && c.fault == Fault::None && c.abort == Abort::None;
  if (c.abort != Abort::None && c.fault != Fault::None) return false;
  if (c.fault == Fault::ReadError16 && !c.Overwritable()) return false;
  if (c.job == Job::Image && !c.Overwritable() && c.before != Before::Blank) return false;
  return true;
}

// What the cell must end in: success, or the error the job reports.
struct Outcome {
  bool ok;
  uint32_t error;
  bool writes;  // the job fails after it has started writing
  // Success, or `error` with the disc as it was: whichever the job reports.
  bool eitherWay = false;
};

Outcome Expected(const Cell& c, bool formatted) {
  if (c.before == Before::Finalized) return {false, 0x7200, false};  // session fixation error
  if (c.abort == Abort::Writing) return {false, ERR_ABORTED, true};
  // Closing has begun: the job may still keep the old volume, or finish what it wrote, as long
  // as what it reports is what the disc holds.
  if (c.abort == Abort::Closing) return {true, ERR_ABORTED, true, true};
  switch (c.fault) {
    case Fault::WriteError: return {false, 0x0C00, true};
    case Fault::NotReady: return {false, 0x0401, false};
    case Fault::MediumRemoved: return {false, 0x3A00, true};
    case Fault::ReadError16:
      // The volume is found through its other descriptors. A formatted disc with nothing else
      // readable there cannot be told from one holding a volume in another format, so a layout
      // is not put on it; an image replaces whatever is there anyway.
      if (c.before == Before::Blank && formatted && c.job != Job::Image)
        return {false, 0x3001, false};
      return {true, 0, false};
    default: return {true, 0, false};
  }
}

// Known defect: an image is addressed from sector 0, so on an overwritable disc it is written
// over the volume there, data and all; an image burn that stops halfway (abort, write error,
// medium gone) leaves neither the old volume nor the new one. Writing its first packet last
// would not help, the old volume's directories and files are gone by then. Only a warning or a
// refusal before the burn could; both are the application's call, so the cells stay marked.
bool KnownDefect(const Cell& c, const Outcome& want) {
  return c.job == Job::Image && c.Overwritable() && want.writes && !want.eitherWay &&
         (c.before == Before::Appendable || c.before == Before::Interrupted);
}

// The trees of the three burns: each a little larger than the one before, so that no volume
// has its directories where another one has them.
Tree Files(uint32_t seed, const std::string& prefix) {
  Tree t = {
      {prefix + ".txt", test::Pattern(10, seed)},
      {"same.bin", test::Pattern(5000, seed + 1)},  // in every tree, with new content each time
      {prefix + "/empty.dat", {}},
      {prefix + "/deep/c.bin", test::Pattern(70001 + 9000 * seed, seed + 2)},
  };
  for (uint32_t i = 0; i < seed / 10; ++i)
    t[prefix + "/more" + std::to_string(i) + "/d.bin"] = test::Pattern(3000 * i, seed + i);
  return t;
}

void WriteTree(const fs::path& root, const Tree& t) {
  for (const auto& [rel, bytes] : t) test::WriteFile(root / rel, bytes);
}

// Copies a sector file with its unrecorded stretches left as holes: the discs of write-once
// media hold tens of megabytes of session gaps.
void CopySectors(const fs::path& from, const fs::path& to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary);
  std::vector<char> block(65536);
  uint64_t at = 0;
  while (in.read(block.data(), std::streamsize(block.size())) || in.gcount() > 0) {
    const auto n = in.gcount();
    if (std::any_of(block.begin(), block.begin() + n, [](char b) { return b != 0; })) {
      out.seekp(std::streamoff(at));
      out.write(block.data(), n);
    }
    at += uint64_t(n);
  }
  out.close();
  fs::resize_file(to, at);
}

// Lays out `root` on the component, with a UDF bridge.
void Layout(TBrenvik& b, const fs::path& root, const std::string& volume) {
  b.ClearAll();
  b.SetVolumeID(volume);
  b.SetUDFBridge(true);
  ASSERT_TRUE(b.InsertDir("\\", root.string(), "*.*", true, false));
  ASSERT_GT(b.Prepare(), 0u);
}

// Runs a job through the component the way an application does. True when it started and its
// event reported success.
bool RunJob(TBrenvik& b, const std::function<bool()>& start) {
  bool failed = true;
  b.SetOnWriteDone([&](void*, uint8_t, bool f) { failed = f; });
  const bool started = start();
  b.WaitForJob();
  b.SetOnWriteDone(nullptr);
  return started && !failed;
}

// Answers a command with CHECK CONDITION and the sense `key`/`asc`/00.
uint8_t Refuse(TSRB_ExecSCSICmd& srb, uint8_t key, uint8_t asc) {
  srb.SenseArea.fill(0);
  srb.SenseArea[0] = 0x70;
  srb.SenseArea[2] = key;
  srb.SenseArea[7] = 10;
  srb.SenseArea[12] = asc;
  srb.SRB_TargStat = 2;
  return SS_ERR;
}

// A tap with the pieces the cells need: counting writes, failing from the nth one, aborting.
struct JobTap {
  int writes = 0;                 // WRITEs the drive recorded
  int failFrom = 0;               // 0: none; else the WRITE answered with the sense below
  bool failEverything = false;    // and every command after it too
  uint8_t key = 0, asc = 0;
  Abort abort = Abort::None;
  TBrenvik* b = nullptr;
  bool failing = false;

  TTransportTap Make() {
    return [this](TSRB_ExecSCSICmd& srb, const TSendFunction& forward) -> uint8_t {
      const uint8_t o = srb.CDB[0];
      if (o == op::WRITE_10 && failFrom > 0 && writes + 1 == failFrom) failing = true;
      if (failing && (o == op::WRITE_10 || failEverything)) {
        failing = failEverything;
        failFrom = 0;
        return Refuse(srb, key, asc);
      }
      if (abort == Abort::Writing && o == op::WRITE_10 && writes == 1) b->AbortOperation();
      if (abort == Abort::Closing && writes > 0 &&
          (o == op::SYNCHRONIZE_CACHE || o == op::CLOSE_TRACK_SESSION)) {
        b->AbortOperation();
        abort = Abort::None;
      }
      const uint8_t status = forward(srb);
      writes += o == op::WRITE_10 && status == SS_COMP;
      return status;
    };
  }
};

class FaultMatrix : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch_ = new test::ScratchDir;
    WriteTree(Root() / "old", Files(10, "old"));
    WriteTree(Root() / "new", Files(20, "new"));
    WriteTree(Root() / "mid", Files(30, "mid"));
    // The image job's file: the new tree as this program builds it, for sector 0.
    TBrenvik b;
    Layout(b, Root() / "new", "image");
    ASSERT_TRUE(RunJob(b, [&] { return b.BuildISOImage((Root() / "new.iso").string()); }))
        << b.ErrorString();
  }
  static void TearDownTestSuite() {
    delete scratch_;
    scratch_ = nullptr;
  }
  static fs::path Root() { return scratch_->path(); }

  // A disc of `profile` in state `before`, made once and copied for every cell; what it reads
  // back as.
  struct Prepared {
    fs::path dir;
    DiscContents contents;
  };
  const Prepared& PrepareDisc(const vdrive::ProfileInfo& p, Before before) {
    const std::string key = std::string(p.name) + "-" + Name(before);
    auto it = prepared_.find(key);
    if (it != prepared_.end()) return it->second;
    Prepared& out = prepared_[key];
    out.dir = Root() / "prepared" / key;
    VirtualBurner vb(out.dir, p.name);
    const bool sequential = p.recording == vdrive::Recording::Sequential;
    if (before != Before::Blank) {
      // A blank sequential DVD-RW would be quick-formatted into restricted overwrite; a drive
      // that refuses the format keeps it sequential.
      if (p.code == 0x0014)
        vb.b->Device.Setup.Tap = [](TSRB_ExecSCSICmd& srb, const TSendFunction& forward) {
          return srb.CDB[0] == op::FORMAT_UNIT ? Refuse(srb, 5, 0x24) : forward(srb);
        };
      Layout(*vb.b, Root() / "old", "old");
      vb.b->SetFinalizeDisc(before == Before::Finalized);
      EXPECT_TRUE(RunJob(*vb.b, [&] { return vb.b->Burn(); })) << key << vb.b->ErrorString();
      const uint32_t start = vb.b->CDFiles.FirstWritableSector;
      out.contents.last = Files(10, "old");
      out.contents.udf = true;
      if (sequential) out.contents.earlier.push_back({start, out.contents.last});
    }
    if (before == Before::Interrupted) {
      // The program dies after three WRITEs: nothing later reaches the drive.
      vb.Attach();
      Layout(*vb.b, Root() / "mid", "mid");
      auto sent = std::make_shared<int>(0);
      vb.b->Device.Setup.Tap = [sent](TSRB_ExecSCSICmd& srb, const TSendFunction& forward) {
        if (*sent >= 3) return Refuse(srb, 2, 0x3A);
        *sent += srb.CDB[0] == op::WRITE_10;
        return forward(srb);
      };
      EXPECT_FALSE(RunJob(*vb.b, [&] { return vb.b->Burn(); })) << key;
    }
    vb.b.reset();
    SCOPED_TRACE(key + " as prepared");
    test::ExpectDiscReadsBack(vb, out.contents, "check");
    return out;
  }

  static test::ScratchDir* scratch_;
  std::map<std::string, Prepared> prepared_;
};

test::ScratchDir* FaultMatrix::scratch_ = nullptr;

TEST_F(FaultMatrix, EveryCellSucceedsWholeOrFailsLeavingTheDiscAsItWas) {
  std::vector<Cell> cells;
  for (const auto& p : vdrive::Profiles()) {
    if (p.recording == vdrive::Recording::ReadOnly) continue;
    for (Before before : {Before::Blank, Before::Appendable, Before::Interrupted,
                          Before::Finalized})
      for (Job job : {Job::Burn, Job::Multisession, Job::Image})
        for (int f = 0; f <= int(Fault::ReadError16); ++f)
          for (Abort abort : {Abort::None, Abort::Writing, Abort::Closing}) {
            const Cell c{&p, before, job, Fault(f), abort};
            if (Meaningful(c)) cells.push_back(c);
          }
  }
#if defined(__SANITIZE_ADDRESS__)
  // Under AddressSanitizer every third cell, spread over all media, states, jobs and faults;
  // the default build runs them all.
  std::vector<Cell> sample;
  for (size_t i = 0; i < cells.size(); i += 3) sample.push_back(cells[i]);
  cells.swap(sample);
#endif
  const auto began = std::chrono::steady_clock::now();
  int n = 0, known = 0;
  for (const Cell& c : cells) {
    SCOPED_TRACE(c.Label());
    const Prepared& prepared = PrepareDisc(*c.profile, c.before);
    const fs::path dir = Root() / "cells" / std::to_string(n++);
    VirtualBurner vb(dir, c.profile->name);
    vb.b.reset();
    const fs::path preparedDisc = prepared.dir / "disc.img";
    fs::remove(vb.disc);
    fs::remove(vb.disc.string() + ".state");
    if (fs::exists(preparedDisc)) CopySectors(preparedDisc, vb.disc);
    if (fs::exists(prepared.dir / "disc.img.state"))
      fs::copy_file(prepared.dir / "disc.img.state", vb.disc.string() + ".state");
    const auto beforeState = vb.State();
    vb.Attach();
    // Armed once the component has found its drive, so that the job's commands meet them.
    vb.Change([&](vdrive::MediumState& m) {
      if (c.fault == Fault::Busy) m.faults.busy = 3;
      if (c.fault == Fault::NotReady) m.faults.notReady = 100000;
      if (c.fault == Fault::BecomingReady) m.faults.notReady = 20;
      if (c.fault == Fault::UnitAttention) m.faults.unitAttention = true;
      if (c.fault == Fault::ReadError16) m.faults.readErrorLba = 16;
    });
    TBrenvik& b = *vb.b;
    JobTap tap;
    tap.b = &b;
    tap.abort = c.abort;
    if (c.fault == Fault::WriteError) {
      tap.failFrom = 3;
      tap.key = 3, tap.asc = 0x0C;
    }
    if (c.fault == Fault::MediumRemoved) {
      tap.failFrom = 3;
      tap.failEverything = true;
      tap.key = 2, tap.asc = 0x3A;
    }
    b.Device.Setup.Tap = tap.Make();

    bool ok;
    if (c.job == Job::Image) {
      b.SetFinalizeDisc(true);
      ok = RunJob(b, [&] { return b.BurnISOImage((Root() / "new.iso").string()); });
    } else {
      Layout(b, Root() / "new", "new");
      b.SetFinalizeDisc(c.job == Job::Burn);
      ok = RunJob(b, [&] { return b.Burn(); });
    }
    const uint32_t error = b.ErrorNumber();
    vb.b.reset();  // the program ends; the drive is free for the readers' look at it

    const Outcome want = Expected(c, beforeState.formatted);
    if (!want.eitherWay) {
      EXPECT_EQ(ok, want.ok) << "error " << std::hex << error;
    }
    if (!ok) {
      EXPECT_EQ(error, want.error) << std::hex << error;
    }
    if (KnownDefect(c, want)) {
      ++known;
      fs::remove_all(dir);
      continue;
    }
    const auto after = vb.State();
    DiscContents contents = prepared.contents;
    if (ok) {
      contents.last = Files(20, "new");
      contents.udf = true;
      // Growing media hold one tree: the new volume replaces the old one. Write-once media keep
      // the old sessions, readable from where they start.
      // (A blank sequential DVD-RW is formatted for restricted overwrite first.)
      if (after.profile->recording == vdrive::Recording::Sequential) {
        EXPECT_EQ(vdrive::view::DiscStatus(after), c.job == Job::Multisession ? 1 : 2);
      }
    } else if (!want.writes) {
      // A refused job leaves the prepared disc, which was read back when it was made.
      EXPECT_TRUE(test::ReadFile(vb.disc) == test::ReadFile(preparedDisc))
          << "a refused job wrote to the disc";
      EXPECT_EQ(after.tracks.size(), beforeState.tracks.size());
      EXPECT_EQ(after.finalized, beforeState.finalized);
      fs::remove_all(dir);
      continue;
    } else if (!c.Overwritable()) {
      // The failed session is closed like any other (its track cannot be taken back); the
      // sessions before it stay where readers of older sessions find them.
      contents.lastBroken = test::LastSessionStart(after) != test::LastSessionStart(beforeState);
    }
    test::ExpectDiscReadsBack(vb.disc, after, contents, dir / "readback");
    fs::remove_all(dir);
  }
  const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began);
  std::printf("fault matrix: %zu cells (%d known defects) in %.1f s\n", cells.size(), known,
              seconds.count());
}

}  // namespace
}  // namespace torvik
