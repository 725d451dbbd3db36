#include "burner/bvkSessionImport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "burner/bvkCDBurner.h"
#include "device/bvkCapabilities.h"
#include "device/bvkMMC.h"
#include "layout/bvkTree.h"
#include "platform/bvkText.h"

namespace torvik {

bool FindSessionStart(TSCSIDevice& d, int session, uint32_t& start, std::string& error) {
  if (session <= 0) {
    error = "The disc holds no session";
    return false;
  }
  if (!ReadDiscInformation(d)) {
    error = "The drive does not report the disc's tracks";
    return false;
  }
  // The last session's last track is also the last track of the disc (the empty track an
  // appendable disc offers included); only its low byte is kept, as on every disc we write.
  const TDiscInformation info = d.DiscInformation;
  const uint8_t first = info.FirstTrack == 0 ? 1 : info.FirstTrack;
  for (unsigned t = first; t <= info.LastTrackOfLastSession; ++t) {
    if (!ReadTrackInformation(d, uint8_t(t))) continue;
    if (d.TrackInformation.SessionNumber == session) {
      start = d.TrackInformation.TrackStartAddress;
      return true;
    }
    if (d.TrackInformation.SessionNumber > session) break;
  }
  error = "The disc has no session " + std::to_string(session);
  return false;
}

bool ReadDiscSessionTree(TSCSIDevice& d, int SessionNo, TISOTree& tree, int& session,
                         std::string& error) {
  session = SessionNo != 0 ? SessionNo : GetSessionCount(d);
  uint32_t start = 0;
  if (!FindSessionStart(d, session, start, error)) return false;
  const TSectorReader read = [&d](uint32_t lba, uint8_t* buffer) {
    return Read10(d, lba, 1, buffer);
  };
  // The volume of a session spans the disc from sector 0 to its own end; its primary descriptor
  // says where that is.
  return ReadISOSession(read, start, 0, tree, error);
}

bool ReadImageFileTree(std::string_view path, TISOTree& tree, std::string& error) {
  const std::string native(path);
  const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = "Cannot open " + native + ": " + std::strerror(errno);
    return false;
  }
  struct stat st{};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    error = native + " is no regular file";
    ::close(fd);
    return false;
  }
  const uint64_t sectors = uint64_t(st.st_size) / kSectorSize;
  const uint32_t end = sectors > 0xFFFFFFFFull ? 0xFFFFFFFFu : uint32_t(sectors);
  const TSectorReader read = [fd, end](uint32_t lba, uint8_t* buffer) {
    if (lba >= end) return false;
    return ::pread(fd, buffer, kSectorSize, off_t(lba) * kSectorSize) == ssize_t(kSectorSize);
  };
  bool ok = false;
  if (end == 0)
    error = native + " holds no whole sector";
  else
    ok = ReadISOSession(read, 0, end, tree, error);
  ::close(fd);
  return ok;
}

// ---- component methods -----------------------------------------------------------------------

namespace {

// Sets the importing status for the length of one call.
struct TImporting {
  explicit TImporting(TCDFiles& cd) : cd_(cd) { cd_.ComponentStatus = CS_IMPORTING; }
  ~TImporting() { cd_.ComponentStatus = CS_IDLE; }
  TCDFiles& cd_;
};

}  // namespace

int TBrenvik::ImportSessionW(uint8_t SessionNo, std::u16string_view DestPath) {
  TImporting status(CDFiles);
  if (CDFiles.RootDir == nullptr) torvik::ClearAll(CDFiles);
  pDirEntry dest = ResolveDestPath(CDFiles, DestPath);
  if (dest == nullptr) dest = CDFiles.RootDir;
  GetMedium(Device);
  TISOTree tree;
  int session = 0;
  std::string error;
  if (!ReadDiscSessionTree(Device, SessionNo, tree, session, error)) {
    CDFiles.LastInsertError = error;
    return 0;
  }
  if (!ImportISOTree(CDFiles, dest, tree)) return 0;
  return session;
}

int TBrenvik::ImportSession(uint8_t SessionNo, std::string_view DestPath) {
  return ImportSessionW(SessionNo, Utf8ToUtf16(DestPath));
}

bool TBrenvik::MountISOImage(std::string_view ISOFileName) {
  TImporting status(CDFiles);
  if (CDFiles.RootDir == nullptr) torvik::ClearAll(CDFiles);
  TISOTree tree;
  std::string error;
  if (!ReadImageFileTree(ISOFileName, tree, error)) {
    CDFiles.LastInsertError = error;
    return false;
  }
  return ImportISOTree(CDFiles, CDFiles.RootDir, tree);
}

std::u16string TBrenvik::ReadVolumeLabelOfDisc(uint8_t SessionNo) {
  GetMedium(Device);
  const int session = SessionNo != 0 ? SessionNo : GetSessionCount(Device);
  uint32_t start = 0;
  std::string error;
  if (!FindSessionStart(Device, session, start, error)) return {};
  const TSectorReader read = [this](uint32_t lba, uint8_t* buffer) {
    return Read10(Device, lba, 1, buffer);
  };
  TISOVolumeInfo info;
  // Only the descriptor is wanted: its root is not checked against any end.
  if (!ReadISOVolumeInfo(read, start, 0xFFFFFFFFu, info, error)) return {};
  return info.Label;
}

}  // namespace torvik
