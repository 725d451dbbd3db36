// vdisc: create, inspect, eject and load the virtual drive kept in a sector file and its state.
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "emulator/VirtualDrive.h"
#include "emulator/VirtualReplies.h"

namespace torvik::cli {
namespace {

using vdrive::MediumState;
using vdrive::Track;
using vdrive::TrackState;

struct CreateArgs {
  std::string path;
  std::string profile;
  uint32_t capacity = 0;
  std::string drive = "bd";
  std::string image;
  bool reader = false;
  bool noGetConfiguration = false;
  bool noPage05 = false;
  bool noPage30 = false;
  bool noTestWrite = false;
  bool blockDescriptor = false;
  uint32_t polls = 3;
  uint32_t closePolls = 0;
  uint32_t writeSpeed = 0;
};

int Fail(const std::string& message) {
  std::fprintf(stderr, "torvik-cli vdisc: %s\n", message.c_str());
  return 1;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

// Thousands separated, as people read block counts.
std::string Num(uint64_t v) {
  std::string s = std::to_string(v);
  for (int i = static_cast<int>(s.size()) - 3; i > 0; i -= 3) s.insert(static_cast<size_t>(i), ",");
  return s;
}

std::unique_ptr<vdrive::VirtualDrive> OpenExisting(const std::string& path, int* code) {
  if (!Exists(path + ".state") && !Exists(path)) {
    *code = Fail("no virtual drive at " + path + " (create one with 'vdisc create')");
    return nullptr;
  }
  std::string error;
  auto drive = vdrive::VirtualDrive::Open(path, &error);
  if (!drive) *code = Fail(error);
  return drive;
}

int RunCreate(const CreateArgs& a) {
  const vdrive::ProfileInfo* profile = vdrive::FindProfile(a.profile);
  if (!profile) {
    std::string names;
    for (const auto& p : vdrive::Profiles()) names += std::string(names.empty() ? "" : ", ") + p.name;
    return Fail("unknown profile '" + a.profile + "'; one of " + names);
  }
  const auto drive = vdrive::ParseDriveClass(a.drive);
  if (!drive) return Fail("unknown drive '" + a.drive + "'; one of cd, dvd, bd");
  vdrive::CreateOptions o;
  o.capacity = a.capacity;
  o.image = a.image;
  o.config.drive = *drive;
  o.config.writer = !a.reader;
  o.config.getConfiguration = !a.noGetConfiguration;
  o.config.page05 = !a.noPage05;
  o.config.page30 = !a.noPage30;
  o.config.testWrite = !a.noTestWrite;
  o.config.blockDescriptor = a.blockDescriptor;
  o.config.longOpPolls = a.polls;
  o.config.closePolls = a.closePolls;
  o.config.writeSpeedLimit = a.writeSpeed;
  std::string error;
  auto d = vdrive::VirtualDrive::Create(a.path, a.profile, o, &error);
  if (!d) return Fail(error);
  const MediumState& m = d->State();
  std::printf("Created %s: %s, %s blocks, in a %s %s\n", a.path.c_str(), m.profile->description,
              Num(m.capacity).c_str(), vdrive::DriveClassName(m.config.drive),
              m.config.writer ? "burner" : "reader");
  return 0;
}

const char* DiscStatusText(uint8_t s) {
  switch (s) {
    case 0: return "blank";
    case 1: return "appendable";
    case 2: return "complete";
    default: return "other";
  }
}

const char* SessionStateText(uint8_t s) {
  switch (s) {
    case 0: return "empty";
    case 1: return "incomplete";
    case 3: return "complete";
    default: return "damaged";
  }
}

std::string FaultsText(const MediumState& m) {
  std::vector<std::string> f;
  const vdrive::Faults& x = m.faults;
  char buf[96];
  if (x.writeErrorLba) {
    std::snprintf(buf, sizeof buf, "WRITE at %u fails with %02X/%02X/%02X", *x.writeErrorLba,
                  x.writeErrorSense.key, x.writeErrorSense.asc, x.writeErrorSense.ascq);
    f.push_back(buf);
  }
  if (x.readErrorLba) f.push_back("READ at " + std::to_string(*x.readErrorLba) + " fails");
  if (x.busy) f.push_back("busy for " + std::to_string(x.busy) + " commands");
  if (x.notReady) f.push_back("not ready for " + std::to_string(x.notReady) + " polls");
  if (x.unitAttention) f.push_back("unit attention pending");
  if (x.incompatibleFormat) f.push_back("DVD+RW writes refused until formatted");
  if (x.flushError) {
    std::snprintf(buf, sizeof buf, "SYNCHRONIZE CACHE fails with %02X/%02X/%02X",
                  x.flushError->key, x.flushError->asc, x.flushError->ascq);
    f.push_back(buf);
  }
  if (x.closeError) {
    std::snprintf(buf, sizeof buf, "CLOSE function %u fails with %02X/%02X/%02X",
                  unsigned(x.closeError->function), x.closeError->sense.key,
                  x.closeError->sense.asc, x.closeError->sense.ascq);
    f.push_back(buf);
  }
  if (x.reject) {
    std::snprintf(buf, sizeof buf, "command %02Xh refused with %02X/%02X/%02X",
                  unsigned(x.reject->opcode), x.reject->sense.key, x.reject->sense.asc,
                  x.reject->sense.ascq);
    f.push_back(buf);
  }
  if (m.config.cacheBlocks == 0) f.push_back("no write cache");
  if (!m.config.getConfiguration) f.push_back("no GET CONFIGURATION");
  if (!m.config.page05) f.push_back("no page 05h");
  if (!m.config.page30) f.push_back("no page 30h");
  if (!m.config.testWrite) f.push_back("no test write");
  if (f.empty()) return "none";
  std::string out;
  for (const auto& s : f) out += (out.empty() ? "" : "; ") + s;
  return out;
}

int RunShow(const std::string& path) {
  int code = 0;
  auto d = OpenExisting(path, &code);
  if (!d) return code;
  const MediumState& m = d->State();
  namespace view = vdrive::view;
  const bool loaded = vdrive::MediumLoaded(m);
  std::printf("Virtual drive %s\n", path.c_str());
  std::printf("  Drive:        %s %s, write speed limit %s\n", vdrive::DriveClassName(m.config.drive),
              m.config.writer ? "burner" : "reader",
              m.config.writeSpeedLimit ? (std::to_string(m.config.writeSpeedLimit) + " kB/s").c_str()
                                       : "none");
  std::printf("  Medium:       %s (profile %04Xh), %s blocks%s\n", m.profile->description,
              m.profile->code, Num(m.capacity).c_str(),
              m.image.empty() ? "" : (", image " + m.image).c_str());
  std::printf("  Tray:         %s, %s, removal %s\n", m.trayOpen ? "open" : "closed",
              m.mediumPresent ? "medium present" : "no medium",
              m.prevent ? "prevented" : "allowed");
  const uint8_t status = view::DiscStatus(m);
  std::printf("  Disc status:  %s, last session %s\n", DiscStatusText(status),
              SessionStateText(view::LastSessionState(m)));
  if (m.pending != vdrive::PendingOp::None)
    std::printf("  In progress:  %s, %u polls to go\n",
                m.pending == vdrive::PendingOp::Format ? "format"
                : m.pending == vdrive::PendingOp::Blank ? "blank"
                                                          : "close",
                m.pendingPolls);

  uint64_t nwa = 0, free = 0;
  bool nwaValid = false;
  if (m.profile->recording == vdrive::Recording::Sequential) {
    std::printf("  Sessions:     %u (%u complete)\n", view::SessionCount(m),
                view::CompleteSessions(m));
    for (size_t i = 0; i < m.tracks.size(); ++i) {
      const Track& t = m.tracks[i];
      const char* state = t.state == TrackState::Complete ? "complete"
                          : t.state == TrackState::Reserved ? "reserved"
                          : t.written                       ? "incomplete"
                                                            : "blank, invisible";
      std::printf("  Track %-3zu    session %u, start %s, size %s, written %s, %s\n", i + 1,
                  t.session, Num(t.start).c_str(), Num(view::TrackSize(m, t)).c_str(),
                  Num(t.state == TrackState::Complete ? t.size : t.written).c_str(), state);
      if (view::TrackWritable(m, t) && !nwaValid) {
        nwaValid = t.state == TrackState::Invisible;
        nwa = view::TrackNwa(m, t);
        free = uint64_t(t.start) + view::TrackSize(m, t) - nwa;
      }
    }
    if (const Track* inv = view::InvisibleTrack(m)) {
      nwaValid = true;
      nwa = view::TrackNwa(m, *inv);
      free = m.capacity - nwa;
    }
  } else if (m.profile->recording == vdrive::Recording::Overwritable) {
    std::printf("  Formatted:    %s%s\n",
                m.formatted ? (Num(m.formattedSize) + " blocks").c_str() : "no",
                m.intermediate ? " (quick format, not yet closed)" : "");
    std::printf("  Track 1      start 0, size %s\n",
                Num(m.formatted ? m.formattedSize : m.capacity).c_str());
    if (m.intermediate) {
      nwaValid = true;
      nwa = m.formattedSize;
    }
    free = m.formatted ? m.capacity - m.formattedSize : m.capacity;
  } else {
    std::printf("  Track 1      start 0, size %s, complete\n", Num(m.capacity).c_str());
  }
  std::printf("  Next writable address: %s\n", nwaValid ? Num(nwa).c_str() : "none");
  std::printf("  Free blocks:  %s\n", Num(free).c_str());
  if (m.wp.testWrite) std::printf("  Test write:   on\n");
  std::printf("  Faults:       %s\n", FaultsText(m).c_str());
  if (!loaded && m.mediumPresent && !m.trayOpen)
    std::printf("  Note:         this drive cannot read the medium\n");
  return 0;
}

int RunTray(const std::string& path, bool eject, bool force) {
  int code = 0;
  auto d = OpenExisting(path, &code);
  if (!d) return code;
  std::string error;
  // A process that locked the drive and died leaves the lock in the state; --force is the
  // paper clip in the emergency eject hole.
  if (force && !d->Update([](MediumState& m) { m.prevent = false; }, &error)) return Fail(error);
  // Through START STOP UNIT, so a prevented removal is refused as a drive refuses it.
  const uint8_t cdb[6] = {0x1B, 0, 0, 0, uint8_t(eject ? 0x02 : 0x03), 0};
  const auto r = d->Execute(cdb, sizeof cdb, vdrive::DataDirection::None, nullptr, 0);
  if (r.ScsiStatus == 8) return Fail("the drive is busy: another program is writing to it");
  if (r.SrbStatus != 1) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%s refused (sense %02X/%02X/%02X)%s", eject ? "eject" : "load",
                  r.Sense[2] & 0x0F, r.Sense[12], r.Sense[13],
                  r.Sense[12] == 0x53 ? ": medium removal is prevented" : "");
    return Fail(buf);
  }
  std::printf("%s: tray %s\n", path.c_str(), eject ? "open" : "closed");
  return 0;
}

}  // namespace

void AddVdiscCommands(CLI::App& app, GlobalOptions&, int& exitCode) {
  CLI::App* vdisc = app.add_subcommand("vdisc", "Create and inspect virtual discs (drive files)");
  vdisc->require_subcommand(1);

  auto args = std::make_shared<CreateArgs>();
  CLI::App* create = vdisc->add_subcommand("create", "Put a new blank disc into a virtual drive");
  create->add_option("path", args->path, "Sector file of the drive (state goes to PATH.state)")
      ->required();
  create->add_option("--profile", args->profile,
                     "cd-r, cd-rw, dvd-r, dvd-ram, dvd-rw-ro, dvd-rw-seq, dvd+rw, dvd+r, dvd+r-dl, "
                     "bd-r, bd-re, cd-rom, dvd-rom, bd-rom")
      ->required();
  create->add_option("--capacity", args->capacity, "Disc size in 2048-byte blocks");
  create->add_option("--drive", args->drive, "Kind of drive: cd, dvd or bd (default bd)");
  create->add_option("--image", args->image, "Image file of a read-only disc");
  create->add_flag("--reader", args->reader, "A drive that reads but cannot write");
  create->add_flag("--no-get-configuration", args->noGetConfiguration,
                   "An old drive without GET CONFIGURATION");
  create->add_flag("--no-page05", args->noPage05, "A drive without the write parameters page");
  create->add_flag("--no-page30", args->noPage30, "A drive without mode page 30h");
  create->add_flag("--no-test-write", args->noTestWrite, "A drive that cannot simulate writes");
  create->add_flag("--block-descriptor", args->blockDescriptor,
                   "MODE SENSE replies carry a block descriptor");
  create->add_option("--polls", args->polls, "Not-ready polls of an immediate BLANK or FORMAT");
  create->add_option("--close-polls", args->closePolls, "Not-ready polls of an immediate CLOSE");
  create->add_option("--write-speed", args->writeSpeed,
                     "Pace writes to this many kB/s (demonstrations)");
  create->callback([args, &exitCode] { exitCode = RunCreate(*args); });

  auto path = std::make_shared<std::string>();
  CLI::App* show = vdisc->add_subcommand("show", "Show the disc and state of a virtual drive");
  show->add_option("path", *path, "Sector file of the drive")->required();
  show->callback([path, &exitCode] { exitCode = RunShow(*path); });

  auto force = std::make_shared<bool>(false);
  CLI::App* eject = vdisc->add_subcommand("eject", "Open the tray of a virtual drive");
  eject->add_option("path", *path, "Sector file of the drive")->required();
  eject->add_flag("--force", *force, "Eject even while removal is prevented");
  eject->callback([path, force, &exitCode] { exitCode = RunTray(*path, true, *force); });

  CLI::App* load = vdisc->add_subcommand("load", "Close the tray of a virtual drive");
  load->add_option("path", *path, "Sector file of the drive")->required();
  load->callback([path, &exitCode] { exitCode = RunTray(*path, false, false); });
}

}  // namespace torvik::cli
