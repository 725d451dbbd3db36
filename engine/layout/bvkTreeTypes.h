// The records of the disc layout: one TFileEntry per file or directory entry, one TDirEntry per
// directory, and TCDFiles, which holds the whole tree, the image geometry and the state shared
// with the worker threads of a job.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "layout/bvkRareText.h"
#include "layout/bvkTreeIndex.h"
#include "layout/bvkUDFTypes.h"
#include "platform/bvkFindData.h"

namespace torvik {

struct TFileEntry;
struct TDirEntry;
using pFileEntry = TFileEntry*;
using pDirEntry = TDirEntry*;

// Called for every file an insertion adds (Sender is null). The handler may change the find
// data or set Skip.
using TAddFileEvent =
    std::function<void(void* Sender, const std::u16string& Path, TWin32FindDataW& fd, bool& Skip)>;

// Delivers a memory file's bytes: fill at most Size bytes of Buffer with the file's data from
// byte Position on. Runs on the image producer's thread.
using TGetDataEvent = std::function<void(void* Sender, pFileEntry FileEntry, uint32_t Position,
                                         void* Buffer, uint32_t& Size)>;

// A memory file's data callback. Few entries have one, so the record holds a pointer, not a
// whole std::function; it behaves like one (calling an empty callback throws
// std::bad_function_call).
class TDataCallback {
 public:
  TDataCallback() = default;
  TDataCallback(const TDataCallback& o)
      : f_(o.f_ ? std::make_unique<TGetDataEvent>(*o.f_) : nullptr) {}
  TDataCallback(TDataCallback&&) noexcept = default;
  TDataCallback& operator=(const TDataCallback& o) {
    if (this != &o) f_ = o.f_ ? std::make_unique<TGetDataEvent>(*o.f_) : nullptr;
    return *this;
  }
  TDataCallback& operator=(TDataCallback&&) noexcept = default;
  ~TDataCallback() = default;

  TDataCallback& operator=(std::nullptr_t) {
    f_.reset();
    return *this;
  }
  TDataCallback& operator=(TGetDataEvent f) {
    if (f)
      f_ = std::make_unique<TGetDataEvent>(std::move(f));
    else
      f_.reset();
    return *this;
  }
  explicit operator bool() const { return f_ != nullptr; }
  void operator()(void* Sender, pFileEntry FileEntry, uint32_t Position, void* Buffer,
                  uint32_t& Size) const {
    if (!f_) throw std::bad_function_call();
    (*f_)(Sender, FileEntry, Position, Buffer, Size);
  }

 private:
  std::unique_ptr<TGetDataEvent> f_;  // null: no callback
};

// Where an entry's data comes from, as the UTF-16 text the layout reports for it. A folder scan
// gives every file of a folder the same folder path, so that path is held once per folder and
// shared; the entry keeps only its own native name, which usually fits the string's inline
// buffer. A path given whole (a single inserted file) is kept as given. Either way Wide()
// rebuilds exactly the text a caller would have seen.
class TSourcePath {
 public:
  // A whole path, kept unit for unit.
  void assign(std::u16string_view whole);
  // The entry `name` (native bytes) of the native folder `folder`.
  void AssignInFolder(const std::shared_ptr<const std::string>& folder, std::string_view name);
  void clear();
  bool empty() const { return folder_ == nullptr && text_.empty(); }
  std::u16string Wide() const;
  // The native path to open.
  std::string Native() const;
  operator std::u16string() const { return Wide(); }
  friend bool operator==(const TSourcePath& a, std::u16string_view b) { return a.Wide() == b; }

 private:
  std::shared_ptr<const std::string> folder_;  // null: text_ holds the whole path
  std::string text_;  // the native name in folder_, or the whole path's UTF-16 units as bytes
};

constexpr int32_t kMaxFileEntries = 200000;
constexpr int32_t kMaxDirEntries = 65000;
constexpr uint32_t kSectorSize = 2048;
constexpr uint32_t kPacketSize = 65536;
constexpr uint32_t kSectorsPerPacket = 32;

// Bytes to 2048-byte sectors, rounding up; 0 stays 0.
constexpr uint64_t BytesToBlocks(uint64_t n) { return (n + kSectorSize - 1) / kSectorSize; }

// Field order keeps padding out: one record per file adds up on large trees.
struct TFileEntry {
  std::string ShortName;           // ISO 9660 name (at most 15 bytes), not upper-cased in memory
  std::u16string LongName;         // Joliet / ISO 9660:1999 name; key for lookups
  TSharedText16 LongNameWIN32;     // long name as first given
  TSourcePath Path;                // source path; empty for memory files, directories, imports
  // Names as written in each hierarchy, derived by Prepare (shortened where a hierarchy cannot
  // hold the long name, unique per directory).
  TSharedText16 JolietName;        // shares LongNameWIN32's text when equal to it
  TRareText<std::string> ISO1999Name;  // UTF-8; only with the ISO 9660:1999 hierarchy
  TDataCallback mfcbFunction;      // data callback of a memory file
  TRareText<std::string> Hash;     // MD5 digest text, filled by duplicate detection
  TUDFFileInfo UDFFileInfo;
  int64_t FileSize = 0;
  int64_t SpaceRequired = 0;
  pFileEntry NextFile = nullptr;
  pDirEntry DirRecord = nullptr;   // set for directory entries
  pFileEntry ReferenceEntry = nullptr;
  TSystemTime Time;                // local time of last write
  int32_t FileId = 0;
  uint32_t Address = 0;            // sectors from FirstDataSector (absolute when Imported)
  int32_t attributes = 0;
  int32_t FileIndex = -1;          // slot in TCDFiles::Files
  bool Imported = false;
  uint8_t ResetArchiveBit = 0;
  uint8_t Extended = 0;
  uint8_t FileNameLength = 0;      // bytes of ShortName
  uint8_t FileNameLengthJ = 0;     // UTF-16 units of LongName
  bool Unicode = false;
  int8_t TimeZone = 0;             // offset from UTC (15-minute units) that applies to Time
};

struct TDirEntry {
  pDirEntry Parent = nullptr;      // the root is its own parent
  std::u16string LongName;         // empty for the root
  std::string ShortName;           // upper-cased ISO 9660 name; "ROOT_DIR" for the root
  int32_t DirSize = 0;
  int32_t DirSizeJ = 0;
  uint32_t Address = 0;            // relative to FileDirDescriptorExtent
  uint32_t AddressJ = 0;           // relative to file_and_dir_descriptor_extent_j
  uint16_t depth = 0;
  uint16_t order = 0;
  uint16_t number = 0;             // path table number, root = 1
  uint8_t DirNameLength = 0;
  uint8_t DirNameLengthJ = 0;
  uint8_t extended = 0;
  // Some entries' long names are equal under case folding (separate files of one listing), so
  // every hierarchy that compares names without case has to make them unique.
  bool HasCaseClashes = false;
  pFileEntry Entry = nullptr;      // this directory's entry in its parent's list (null for root)
  pFileEntry Files = nullptr;      // head of the entry list
  pFileEntry LastFile = nullptr;   // tail of the entry list, for O(1) appends
  TNameIndex NameIndex;            // LongName (case-folded) -> entry
  TUDFDirInfo UDFDirInfo;
};

// One slot of the image stream's packet ring. The slot's 64 KiB block lives in the ring's one
// allocation (TCDFiles::CacheMemory), so neighbouring packets are neighbours in memory and a
// source file can be read into several packets with one read.
struct TCachePacket {
  int32_t Size = 0;    // bytes of the block that belong to the stream
  int32_t FileId = 0;  // the file whose data completed the packet (0 for header packets)
  // Set when the packet's bytes stay where they already are (whole packets of the header in
  // isom) instead of being copied into the slot's block; the slot is still counted as used.
  const uint8_t* External = nullptr;
};

struct TCDFiles {
  // ---- tree -------------------------------------------------------------------------------
  std::vector<std::unique_ptr<TFileEntry>> Files;  // creation order; index = file id
  std::vector<std::unique_ptr<TDirEntry>> Dirs;    // creation order; slot 0 = root
  std::vector<pDirEntry> PathTableEntries;         // path-table order; slot 0 = root
  pDirEntry RootDir = nullptr;
  int32_t FileCounter() const { return int32_t(Files.size()); }
  int32_t DirCounter() const { return int32_t(Dirs.size()); }

  // ---- options ----------------------------------------------------------------------------
  std::u16string VolumeLabelW;     // at most 32 UTF-16 units
  std::string VolumeLabel;         // at most 32 bytes, cut at a character boundary
  bool ReplaceFile = false;
  bool JolietFS = true;
  bool UDFBridge = false;
  bool ISO9660FS = true;
  bool ISO9660v1999FS = false;
  bool UDF12 = false;
  std::string BootImage;           // path of the boot image; empty = not bootable
  int32_t BootImageSize = 0;
  TAddFileEvent cbAddFileEvent;
  // Why the last insertion returned nothing (empty after one that succeeded or was skipped),
  // e.g. "Source not found: /home/me/a.txt"; meant to be shown to the user.
  std::string LastInsertError;
  // A file inserted where the folder already holds an entry of the same name (compared without
  // case) from an earlier insertion: the layout keeps one of them (the old one, or the new one
  // under ReplaceFile), so a caller that adds several sources can refuse the clash. A scanned
  // folder that meets a file is one too (that insertion then fails; the record stays). Entries
  // of one folder listing never clash with each other: they all stay, as separate entries.
  struct TNameClash {
    std::u16string DiscPath;        // "\Docs\x.txt"
    std::u16string ExistingSource;  // empty for a folder, a memory file or an imported entry
    std::u16string NewSource;       // the new file, or the scanned folder that met a file
    bool ExistingIsFolder = false;
    bool NewIsFolder = false;
  };
  std::vector<TNameClash> NameClashes;
  // What folder scans left out, one line each: the source path and why (a FIFO, a socket, a
  // device, a dangling link, a link to a folder). Kept until ClearAll.
  struct TLeftOut {
    std::string Path;    // native source path
    std::string Reason;  // "FIFO", "socket", "device", "dangling link", "link to a folder"
  };
  std::vector<TLeftOut> LeftOut;

  // ---- geometry (sectors relative to the session unless noted) ----------------------------
  bool Prepared = false;
  uint32_t FirstWritableSector = 0;  // absolute start of the session being written
  uint32_t VDImageSize = 0;          // earlier sectors the volume space size must cover
  int32_t Blank = 0;
  uint32_t PathTableWidth = 0, PathTableWidthJ = 0;
  uint32_t FileDirDescriptorWidth = 0, FileDirDescriptorExtent = 0;
  uint32_t file_and_dir_descriptor_extent_j = 0, file_and_dir_descriptor_width_j = 0;
  uint32_t PathTableExtentL = 0, path_table_extent_m = 0;
  uint32_t path_table_extent_j_l = 0, path_table_extent_j_m = 0;
  uint32_t FirstDataSector = 0, Cursor = 0, FilesSize = 0, TotalImageSize = 0;
  uint32_t BootCatalogLocation = 0, BootImageLocation = 0;
  // Sectors of the header proper (0 .. HeaderSectors - 1, at least 150): what BuildISOHeader
  // puts into isom. The boot image and the UDF file structures that follow it, up to
  // FirstDataSector, come from the image stream.
  uint32_t HeaderSectors = 0;
  int32_t TimeZoneDifference = 0;    // local offset from UTC in 15-minute units
  // When Prepare made the layout: local time and the offset (15-minute units) that applies to
  // it. The volume's own dates, and the date of the root, which has no entry of its own.
  TSystemTime LayoutTime;
  int8_t LayoutTimeZone = 0;
  int32_t TimeZoneDifference2 = 0;
  TUDFBridgeInfo UDFBridgeInfo;

  // ---- header -----------------------------------------------------------------------------
  std::vector<uint8_t> isom;         // the image header: HeaderSectors * 2048 bytes
  int32_t IsoHeaderSize = 0;         // bytes of header produced so far

  // ---- job state shared with worker threads (guarded by atomics or CriticalSection) --------
  std::atomic<bool> Aborted{false};
  std::atomic<uint16_t> ComponentStatus{0};
  std::atomic<uint32_t> ErrorNumber{0};
  std::atomic<int32_t> ReadingFile{0};
  std::atomic<int32_t> WritingFile{0};
  std::atomic<uint32_t> BlocksWritten{0};
  // The drive (short id) this layout was last burned to, and how many entries it had then;
  // empty when it was not, or when the layout changed since. Verification needs both.
  std::string WrittenToDrive;
  size_t WrittenFileCount = 0;
  std::atomic<uint32_t> VerifySize{0};
  std::atomic<uint32_t> VerifyProgress{0};
  std::atomic<uint32_t> SmartReferencesProgress{0};
  std::atomic<uint32_t> SmartReferencesSize{0};
  // Outcome of the last duplicate search, for the caller once its done event has arrived:
  // the bytes its references save (the event carries only the low 32 bits) and the source
  // files it could not read, which were left out.
  uint64_t SmartReferencesSaved = 0;
  std::vector<std::u16string> SmartReferencesSkipped;
  uint32_t CacheSize = 32u << 20;    // bytes; clamped to 2..624 MiB by the component
  std::u16string ErrorFileName;      // owned copy of the file an error names
  int ErrorOSCode = 0;               // errno of the OS call behind the error (0: none); with ErrorFileName

  // Image stream: a ring of CacheSlots packets in one allocation. Packet number k (counted from
  // the start of the stream) lives in slot k % CacheSlots. The producer fills packets from
  // PacketsPublished on; the consumer takes them from PacketsTaken on and hands them back
  // (PacketsReleased) once written, so a slot is reused only after its bytes have left.
  // Everything below is guarded by CriticalSection unless it is atomic; QueueChanged is
  // signalled on every change either side waits for (and by AbortOperation).
  std::mutex CriticalSection;
  std::condition_variable QueueChanged;
  int32_t MaxPackets = 0;            // CacheSize / 65536
  int32_t CacheSlots = 0;            // = MaxPackets: queued, being written and being filled
  std::unique_ptr<uint8_t[]> CacheMemory;
  std::vector<TCachePacket> Packets;  // per slot
  int64_t PacketsPublished = 0;
  int64_t PacketsTaken = 0;
  int64_t PacketsReleased = 0;
  bool AllQueued = false;            // the producer has queued the stream's last packet
  // Who sleeps on QueueChanged, so that each side wakes the other only when it matters: the
  // consumer waits for a whole run of ConsumerWants packets, the producer for a free slot.
  bool ConsumerWaiting = false;
  int32_t ConsumerWants = 1;
  bool ProducerWaiting = false;
  bool StreamUsed = false;           // the prepared layout has been streamed (UDF state spent)
  std::atomic<int32_t> PacketCount{0};       // packets queued and not yet taken
  std::atomic<int64_t> BytesAvailable{0};    // bytes queued and not yet taken
  std::atomic<int64_t> RemainingBlocks{0};   // sectors the consumer has still to take
  std::atomic<bool> CanStart{false};
  std::atomic<bool> Finished{false};
  std::atomic<bool> CacheThreadTerminated{true};
  int32_t NoOfFiles = 0;

  // Operation mode and files of a job.
  bool SaveToISOImage = false;
  bool BurnISOImage = false;
  std::string ISOFileName;           // image file being built or burned (UTF-8 path)
  int ISOImage = -1;                 // its descriptor while the job runs
  int64_t ISOImageBytes = 0;         // length of an image file being burned
};

}  // namespace torvik
