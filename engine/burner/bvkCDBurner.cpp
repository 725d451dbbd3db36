#include "burner/bvkCDBurner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <thread>

#include "burner/bvkConsts.h"
#include "burner/bvkDiscJobs.h"
#include "burner/bvkDiscWriter.h"
#include "burner/bvkDriveWaits.h"
#include "burner/bvkSmartReferences.h"
#include "burner/bvkWriteThread.h"
#include "device/bvkCapabilities.h"
#include "device/bvkMMC.h"
#include "layout/bvkCache.h"
#include "layout/bvkISO9660.h"
#include "layout/bvkTree.h"
#include "layout/bvkUDFBridge.h"
#include "platform/bvkText.h"

namespace torvik {

// ---- completion queue ----------------------------------------------------------------------

void TCompletionQueue::Post(uint32_t Message, uint64_t wParam, int64_t lParam) {
  {
    std::lock_guard lock(FLock);
    FQueue.push_back({Message, wParam, lParam});
  }
  FPosted.notify_all();
}

size_t TCompletionQueue::DispatchLocked(std::unique_lock<std::mutex>& lock) {
  size_t n = 0;
  while (!FQueue.empty()) {
    const TMessage m = FQueue.front();
    FQueue.pop_front();
    // The handler may post again or start the next job; never hold the lock around it.
    lock.unlock();
    FTarget.DispatchCompletion(m.Message, m.wParam, m.lParam);
    ++n;
    lock.lock();
  }
  return n;
}

size_t TCompletionQueue::WaitAndDispatch() {
  std::unique_lock lock(FLock);
  FPosted.wait(lock, [&] { return !FQueue.empty(); });
  return DispatchLocked(lock);
}

size_t TCompletionQueue::WaitAndDispatchFor(uint32_t timeoutMs) {
  std::unique_lock lock(FLock);
  if (!FPosted.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [&] { return !FQueue.empty(); }))
    return 0;
  return DispatchLocked(lock);
}

size_t TCompletionQueue::DispatchPending() {
  std::unique_lock lock(FLock);
  return DispatchLocked(lock);
}

// ---- construction --------------------------------------------------------------------------

TBrenvik::TBrenvik() {
  torvik::ClearAll(CDFiles);
  SetBurnProof(true);
  SetTestWrite(false);
  SetFinalizeDisc(false);
  CDFiles.ReplaceFile = false;
  SetCacheSize(32);
  CDFiles.JolietFS = true;
  CDFiles.UDFBridge = false;
  Device.CloseFH = true;
}

TBrenvik::~TBrenvik() {
  // A running job must not outlive the records it works on.
  SignalAbort(CDFiles);
  JoinWorkers();
  if (CDFiles.ISOImage >= 0) {
    ::close(CDFiles.ISOImage);
    CDFiles.ISOImage = -1;
  }
}

// ---- options -------------------------------------------------------------------------------

bool TBrenvik::BurnProof() const { return Device.BurnProof; }
void TBrenvik::SetBurnProof(bool Value) { Device.BurnProof = Value; }
bool TBrenvik::TestWrite() const { return Device.TestWrite; }
void TBrenvik::SetTestWrite(bool Value) { Device.TestWrite = Value; }
bool TBrenvik::FinalizeDisc() const { return Device.FinalizeDisc; }
void TBrenvik::SetFinalizeDisc(bool Value) { Device.FinalizeDisc = Value; }

void TBrenvik::SetVolumeID(std::string_view Value) { torvik::SetVolumeID(CDFiles, Value); }
void TBrenvik::SetVolumeIDW(std::u16string_view Value) { torvik::SetVolumeIDW(CDFiles, Value); }

void TBrenvik::SetCacheSize(uint32_t MiB) {
  // Clamped in MiB first, so a huge value cannot wrap around when shifted into bytes.
  CDFiles.CacheSize = std::clamp(MiB, kMinCacheSize >> 20, kMaxCacheSize >> 20) << 20;
}

void TBrenvik::SetBootImage(std::string_view Path) {
  if (Path.empty()) return;
  const std::string path(Path);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return;
  struct stat st{};
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  ::close(fd);
  if (!regular) return;
  switch (st.st_size) {
    case 2048:
    case 1228800:
    case 1474560:
    case 2949120:
      break;
    default:
      return;
  }
  // The layout re-checks the file; should it have changed in between, keep the old choice.
  const std::string previous = CDFiles.BootImage;
  if (!torvik::SetBootImage(CDFiles, path)) torvik::SetBootImage(CDFiles, previous);
}

// ---- completion ----------------------------------------------------------------------------

void TBrenvik::DispatchCompletion(uint32_t Message, uint64_t wParam, int64_t lParam) {
  switch (Message) {
    case WM_ERASE_DONE:
      if (FOnEraseDone) FOnEraseDone(this, 0, lParam != 0);
      break;
    case WM_WRITE_DONE:
      if (FOnWriteDone) FOnWriteDone(this, 0, lParam != 0);
      break;
    case WM_VERIFY_DONE:
      if (FOnVerifyDone) FOnVerifyDone(this, 0, int32_t(wParam), lParam != 0);
      break;
    case WM_SMARTREF_DONE:
      if (FOnSmartRefGenDone) FOnSmartRefGenDone(this, wParam != 0, int32_t(lParam));
      break;
    default:
      break;
  }
}

void TBrenvik::Complete(uint32_t Message, uint64_t wParam, int64_t lParam, void* Sender) {
  // The handlers and the sink were copied when the job started: the owner may change its own
  // while the job runs without racing this thread.
  // A local copy: a handler may start the next job, which replaces FJob.
  const TJobHandlers h = FJob;
  switch (Message) {
    case WM_ERASE_DONE:
      if (!h.EraseDone) return;
      if (!h.Sink) h.EraseDone(Sender, 0, lParam != 0);
      break;
    case WM_WRITE_DONE:
      if (!h.WriteDone) return;
      if (!h.Sink) h.WriteDone(Sender, 0, lParam != 0);
      break;
    case WM_VERIFY_DONE:
      if (!h.VerifyDone) return;
      if (!h.Sink) h.VerifyDone(Sender, 0, int32_t(wParam), lParam != 0);
      break;
    case WM_SMARTREF_DONE:
      if (!h.SmartRefGenDone) return;
      if (!h.Sink) h.SmartRefGenDone(Sender, wParam != 0, int32_t(lParam));
      break;
    default:
      return;
  }
  if (h.Sink) h.Sink->Post(Message, wParam, lParam);
}

void TBrenvik::BeginJob() {
  JoinWorkers();
  {
    // An OS error of an earlier job must not be shown as the reason of this one's failure.
    std::lock_guard lock(CDFiles.CriticalSection);
    CDFiles.ErrorOSCode = 0;
    // Cleared here rather than when the threads start: an abort requested while the starter
    // prepares the disc (a format can take hours) must end the job, and an earlier job's abort
    // must not end this one's format wait.
    CDFiles.Aborted = false;
  }
  FJob.Sink = FSink;
  FJob.WriteDone = FOnWriteDone;
  FJob.EraseDone = FOnEraseDone;
  FJob.VerifyDone = FOnVerifyDone;
  FJob.SmartRefGenDone = FOnSmartRefGenDone;
}

// ---- state and errors ----------------------------------------------------------------------

uint32_t TBrenvik::ErrorNumber() {
  const uint32_t n = CDFiles.ErrorNumber.exchange(0);
  if (n != 0) return n;
  const uint32_t d = Device.DeviceError;
  Device.DeviceError = 0;
  return d;
}

std::string TBrenvik::ErrorString() {
  const uint32_t n = ErrorNumber();
  return ErrorText(n, Utf16ToUtf8(ErrorFileNameCopy()));
}

std::u16string TBrenvik::ErrorStringW() {
  const uint32_t n = ErrorNumber();
  return ErrorTextW(n, ErrorFileNameCopy());
}

std::string TBrenvik::ErrorDescription() {
  const int os = LastOSError();
  // ErrorString clears the number it shows, so what the drive said is taken first: the job's
  // error, or, when the job holds none, the drive's own (as ErrorNumber picks them).
  uint32_t number = CDFiles.ErrorNumber.load();
  if (number == ERR_NONE) number = Device.DeviceError;
  std::string text = ErrorString();
  if (os != 0) text += std::string(" (") + std::strerror(os) + ")";
  if (number > ERR_ABORTED && number <= 0xFFFF) {
    const auto asc = uint8_t(number >> 8), ascq = uint8_t(number);
    // The number has no room for the sense key. The key of the drive's last failure belongs to
    // it when the codes agree; otherwise (a later close failed differently) the key drives
    // report with these codes stands in.
    const TSENSE& last = Device.LastErrorSense;
    const uint8_t key = last.AddSenseCode == asc && last.AddSenQual == ascq
                            ? uint8_t(last.SenseKey & 0x0F)
                            : UsualSenseKey(asc, ascq);
    text += " (" + SenseText(key, asc, ascq) + ")";
  }
  return text;
}

std::u16string TBrenvik::ErrorFileNameCopy() {
  std::lock_guard lock(CDFiles.CriticalSection);
  return CDFiles.ErrorFileName;
}

int TBrenvik::LastOSError() {
  std::lock_guard lock(CDFiles.CriticalSection);
  return CDFiles.ErrorOSCode;
}

void TBrenvik::AbortOperation() {
  // Closing a disc cannot be stopped, and once it has begun everything the job wrote is on the
  // disc: the job then ends as the disc does, not as "aborted" over a complete session.
  if (CDFiles.ComponentStatus.load() == CS_CLOSING) return;
  CDFiles.ErrorNumber = ERR_ABORTED;
  // Status 7 only while something runs: an idle component that showed "aborting" would keep
  // a caller waiting for status 0 forever.
  uint16_t s = CDFiles.ComponentStatus.load();
  while (s != CS_IDLE && !CDFiles.ComponentStatus.compare_exchange_weak(s, CS_ABORTING)) {
  }
  SignalAbort(CDFiles);
}

// ---- layout --------------------------------------------------------------------------------

void TBrenvik::ClearAll() { torvik::ClearAll(CDFiles); }

pDirEntry TBrenvik::CreateDir(std::string_view DestPath, std::string_view DirName) {
  return torvik::CreateDir(CDFiles, DestPath, DirName);
}
pDirEntry TBrenvik::CreateDirW(std::u16string_view DestPath, std::u16string_view DirName) {
  return torvik::CreateDirW(CDFiles, DestPath, DirName);
}

pFileEntry TBrenvik::InsertFile(std::string_view DestPath, std::string_view FileName) {
  CDFiles.cbAddFileEvent = FOnAddFile;
  return torvik::InsertFile(CDFiles, DestPath, FileName);
}
pFileEntry TBrenvik::InsertFileW(std::u16string_view DestPath, std::u16string_view FileName) {
  CDFiles.cbAddFileEvent = FOnAddFile;
  return torvik::InsertFileW(CDFiles, DestPath, FileName);
}

pFileEntry TBrenvik::InsertFileWithName(std::string_view DestPath, std::string_view FileName,
                                        std::string_view LongNameOnDisc,
                                        std::string_view ShortNameOnDisc) {
  CDFiles.cbAddFileEvent = FOnAddFile;
  return torvik::InsertFileWithName(CDFiles, DestPath, FileName, LongNameOnDisc, ShortNameOnDisc);
}
pFileEntry TBrenvik::InsertFileWithNameW(std::u16string_view DestPath,
                                         std::u16string_view FileName,
                                         std::u16string_view LongNameOnDisc,
                                         std::u16string_view ShortNameOnDisc) {
  CDFiles.cbAddFileEvent = FOnAddFile;
  return torvik::InsertFileWithNameW(CDFiles, DestPath, FileName, LongNameOnDisc,
                                     ShortNameOnDisc);
}

pFileEntry TBrenvik::InsertMemoryFile(std::string_view DestPath,
                                      const TWin32FindDataW& FindFileData,
                                      TGetDataEvent OnGetData) {
  CDFiles.cbAddFileEvent = FOnAddFile;
  return torvik::InsertMemoryFile(CDFiles, DestPath, FindFileData, std::move(OnGetData));
}
pFileEntry TBrenvik::InsertMemoryFileW(std::u16string_view DestPath,
                                       const TWin32FindDataW& FindFileData,
                                       TGetDataEvent OnGetData) {
  CDFiles.cbAddFileEvent = FOnAddFile;
  return torvik::InsertMemoryFileW(CDFiles, DestPath, FindFileData, std::move(OnGetData));
}

pDirEntry TBrenvik::InsertDir(std::string_view DestPath, std::string_view DirPath,
                              std::string_view FileSpecs, bool Recursive, bool SavePath) {
  CDFiles.cbAddFileEvent = FOnAddFile;
  return torvik::InsertDir(CDFiles, DestPath, DirPath, FileSpecs, Recursive, SavePath);
}
pDirEntry TBrenvik::InsertDirW(std::u16string_view DestPath, std::u16string_view DirPath,
                               std::u16string_view FileSpecs, bool Recursive, bool SavePath) {
  CDFiles.cbAddFileEvent = FOnAddFile;
  return torvik::InsertDirW(CDFiles, DestPath, DirPath, FileSpecs, Recursive, SavePath);
}

uint32_t TBrenvik::Prepare() {
  const uint32_t size = torvik::Prepare(CDFiles);
  CDFiles.StreamUsed = false;
  return size;
}

namespace {
bool ValidId(int64_t id, size_t count) { return id >= 0 && uint64_t(id) < count; }
}  // namespace

std::u16string TBrenvik::SourcePath(int64_t FileId) const {
  if (!ValidId(FileId, CDFiles.Files.size())) return {};
  return CDFiles.Files[size_t(FileId)]->Path;
}
std::u16string TBrenvik::DestinationPath(int64_t FileId) const { return SourcePath(FileId); }

std::u16string TBrenvik::FileName(int64_t FileId) const {
  if (!ValidId(FileId, CDFiles.Files.size())) return {};
  return CDFiles.Files[size_t(FileId)]->LongName;
}

std::string TBrenvik::ShortFileName(int64_t FileId) const {
  if (!ValidId(FileId, CDFiles.Files.size())) return {};
  return CDFiles.Files[size_t(FileId)]->ShortName;
}

int64_t TBrenvik::FileSize(int64_t FileId) const {
  if (!ValidId(FileId, CDFiles.Files.size())) return -1;
  return CDFiles.Files[size_t(FileId)]->FileSize;
}

std::u16string TBrenvik::DirName(int64_t DirId) const {
  if (!ValidId(DirId, CDFiles.Dirs.size())) return {};
  return CDFiles.Dirs[size_t(DirId)]->LongName;
}

bool TBrenvik::IsDirectory(int64_t FileId) const {
  if (!ValidId(FileId, CDFiles.Files.size())) return false;
  return CDFiles.Files[size_t(FileId)]->DirRecord != nullptr;
}

int64_t TBrenvik::FileAddress(int64_t FileId) const {
  if (!ValidId(FileId, CDFiles.Files.size())) return -1;
  return int64_t(CDFiles.Files[size_t(FileId)]->Address) * int64_t(kSectorSize);
}

int64_t TBrenvik::FindFile(std::string_view Directory, std::string_view FileToFind) {
  return torvik::FindFile(CDFiles, Directory, FileToFind);
}
int64_t TBrenvik::FindFileW(std::u16string_view Directory, std::u16string_view FileToFind) {
  return torvik::FindFileW(CDFiles, Directory, FileToFind);
}

uint32_t TBrenvik::CachePosition() const {
  return uint32_t(std::max(CDFiles.PacketCount.load(), 0)) * kPacketSize;
}

// ---- jobs ----------------------------------------------------------------------------------

bool TBrenvik::BeginLayoutJob() {
  BeginJob();
  TCDFiles& cd = CDFiles;
  cd.ErrorNumber = ERR_NONE;
  if (!cd.Prepared) {
    cd.ErrorNumber = ERR_NOT_PREPARED;
    return false;
  }
  // The UDF generator's position is spent by one stream; a second job from the same
  // preparation needs a fresh layout pass.
  if (cd.StreamUsed) Prepare();
  return true;
}

bool TBrenvik::BuildISOImage(std::string_view FileName) {
  if (!BeginLayoutJob()) return false;
  TCDFiles& cd = CDFiles;
  // Files carried over from a disc session or a mounted image keep their data where it was; an
  // image file would list them at sectors it does not hold.
  for (const auto& e : cd.Files)
    if (e->Imported && e->FileSize > 0) {
      cd.ErrorNumber = ERR_IMPORTED_NOT_IN_IMAGE;
      return false;
    }
  cd.ISOFileName = std::string(FileName);
  cd.BurnISOImage = false;
  const int fd = ::open(cd.ISOFileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    const int osError = errno;
    std::lock_guard lock(cd.CriticalSection);
    cd.ErrorNumber = ERR_CREATE_FILE;
    cd.ErrorFileName = Utf16FromNativePath(cd.ISOFileName);
    cd.ErrorOSCode = osError;
    return false;
  }
  cd.ISOImage = fd;
  cd.SaveToISOImage = true;
  return StartWriteOperation();
}

bool TBrenvik::BuildISOImageW(std::u16string_view FileName) {
  return BuildISOImage(NativePathFromUtf16(FileName));
}

bool TBrenvik::Burn() {
  if (!BeginLayoutJob()) return false;
  TCDFiles& cd = CDFiles;
  cd.ISOFileName.clear();
  cd.SaveToISOImage = false;
  cd.BurnISOImage = false;
  Device.Medium = GetMedium(Device);
  return StartWriteOperation();
}

bool TBrenvik::BurnISOImage(std::string_view FileName) {
  BeginJob();
  TCDFiles& cd = CDFiles;
  cd.ErrorNumber = ERR_NONE;
  cd.ISOFileName = std::string(FileName);
  cd.SaveToISOImage = false;
  cd.BurnISOImage = true;
  cd.TotalImageSize = 0;
  const int fd = ::open(cd.ISOFileName.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st{};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    // Not a regular file is no OS failure: the text alone says it.
    const int osError = fd < 0 ? errno : 0;
    if (fd >= 0) ::close(fd);
    cd.BurnISOImage = false;
    std::lock_guard lock(cd.CriticalSection);
    cd.ErrorNumber = ERR_OPEN_FILE;
    cd.ErrorFileName = Utf16FromNativePath(cd.ISOFileName);
    cd.ErrorOSCode = osError;
    return false;
  }
  cd.ISOImage = fd;
  cd.ISOImageBytes = st.st_size;
  cd.TotalImageSize = uint32_t(BytesToBlocks(uint64_t(st.st_size)));
  Device.Medium = GetMedium(Device);
  return StartWriteOperation();
}

bool TBrenvik::BurnISOImageW(std::u16string_view FileName) {
  return BurnISOImage(NativePathFromUtf16(FileName));
}

namespace {
// Waits while the drive reports itself becoming ready (a disc just loaded, a reset), polling at
// the device's interval within its close limit. False when it stays not ready or the job was
// aborted meanwhile.
bool WaitUntilReady(TSCSIDevice& d, const TCDFiles& cd) {
  uint32_t budget = PollBudget(d.Setup.CloseLimitMs, d.Setup.NotReadyPollMs);
  while (!TestUnitReady(d) && SenseIsNotReady(d)) {
    if (budget-- == 0 || cd.Aborted) return false;
    SleepUnlessAborted(d.Setup.NotReadyPollMs, cd);
  }
  return true;
}
}  // namespace

bool TBrenvik::StartWriteOperation() {
  TCDFiles& cd = CDFiles;
  auto refuse = [&](uint32_t error) {
    if (cd.ISOImage >= 0) {
      ::close(cd.ISOImage);
      cd.ISOImage = -1;
    }
    if (!cd.SaveToISOImage) ReleaseDrive(Device);
    cd.ErrorNumber = error;
    cd.ComponentStatus = CS_IDLE;
    return false;
  };

  if (!cd.SaveToISOImage) {
    // From the first command that may change the disc to the last, no other program may use
    // the drive or open its tray.
    if (!ClaimDrive(Device)) {
      const int osError = int(Device.LastWinError);
      refuse(ERR_NOT_PREPARED);
      std::lock_guard lock(cd.CriticalSection);
      cd.ErrorOSCode = osError;
      return false;
    }
    // Every address the job takes from the disc comes from queries that a drive not ready
    // yet would fail.
    if (!WaitUntilReady(Device, cd)) {
      const uint32_t notReady = uint32_t{kSenseNotReady} << 8 | Device.LastSenseInfo.AddSenQual;
      return refuse(cd.Aborted ? ERR_ABORTED : notReady);
    }
    // Where the new session starts decides every address in the header; an image file goes
    // there too, so a disc that holds sessions keeps them.
    ResetSpeedSamples(Device);
    if (!PrepareDiscTarget(cd, Device)) return refuse(cd.ErrorNumber);
  }
  if (!cd.BurnISOImage) {
    if (cd.SaveToISOImage) {
      // An image always starts at its own sector 0.
      cd.FirstWritableSector = 0;
      cd.VDImageSize = 0;
      if (cd.UDFBridge) cd.UDFBridgeInfo.SessionStarting_LSA = 0;
    }
    if (cd.UDFBridge && !UDFReachesImports(cd)) return refuse(ERR_IMPORT_BELOW_UDF);
    if (!BuildISOHeader(cd)) return refuse(ERR_NOT_PREPARED);
  }

  // An abort that comes in now keeps its number; one that came during the preparation ends
  // the job before any thread starts.
  uint32_t earlier = cd.ErrorNumber.load();
  if (earlier != ERR_ABORTED) cd.ErrorNumber.compare_exchange_strong(earlier, ERR_NONE);
  if (cd.Aborted) return refuse(ERR_ABORTED);
  {
    std::lock_guard lock(cd.CriticalSection);
    cd.ErrorFileName.clear();
    cd.ErrorOSCode = 0;
  }
  cd.BlocksWritten = 0;
  cd.WritingFile = 0;
  // Set before returning, so a progress poll never sees an idle component during the job.
  cd.ComponentStatus = CS_WRITING;

  std::lock_guard lock(FWorkersLock);
  try {
    FCacheThread = std::make_unique<TCacheThread>(cd);
  } catch (...) {
    return refuse(ERR_NOT_PREPARED);
  }
  try {
    FWriteThread =
        std::make_unique<TWriteThread>(*this, cd, cd.SaveToISOImage ? nullptr : &Device);
  } catch (...) {
    SignalAbort(cd);
    FCacheThread.reset();  // the producer sees the abort and ends on its own
    return refuse(ERR_NOT_PREPARED);
  }
  return true;
}

namespace {
// Moves the worker into `join` unless it is the calling thread (a completion handler that
// starts the next job from the worker that finished cannot join itself); that one is kept in
// `kept` for a later call or the destructor. Retired workers of other threads go to `join` too.
template <typename T>
void TakeForJoin(std::unique_ptr<T>& worker, std::vector<std::unique_ptr<T>>& kept,
                 std::vector<std::unique_ptr<T>>& join) {
  const auto self = std::this_thread::get_id();
  if (worker) (worker->Id() == self ? kept : join).push_back(std::move(worker));
  for (auto& t : kept)
    if (t && t->Id() != self) join.push_back(std::move(t));
  std::erase(kept, nullptr);
}
}  // namespace

void TBrenvik::JoinWorkers() {
  std::unique_ptr<TCacheThread> producer;
  std::vector<std::unique_ptr<TWriteThread>> writers;
  std::vector<std::unique_ptr<TDiscJobThread>> discJobs;
  {
    std::lock_guard lock(FWorkersLock);
    TakeForJoin(FWriteThread, FRetiredWriters, writers);
    TakeForJoin(FDiscJob, FRetiredDiscJobs, discJobs);
    producer = std::move(FCacheThread);
  }
  // Joined outside the lock: a handler on a worker thread may be calling into the component.
  writers.clear();
  producer.reset();
  discJobs.clear();
}

bool TBrenvik::EraseDisc(bool Quick) {
  BeginJob();
  TCDFiles& cd = CDFiles;
  cd.ErrorNumber = ERR_NONE;
  cd.ComponentStatus = CS_ERASING;
  // Nothing else may use the drive or open its tray while the disc is blanked or formatted.
  if (!ClaimDrive(Device)) {
    const int osError = int(Device.LastWinError);
    std::lock_guard lock(cd.CriticalSection);
    cd.ErrorNumber = ERR_NOT_PREPARED;
    cd.ErrorOSCode = osError;
    cd.ComponentStatus = CS_IDLE;
    return false;
  }
  // Whatever the disc held is gone, and with it what a verification would compare.
  cd.WrittenToDrive.clear();
  Device.QuickErase = Quick;
  std::lock_guard lock(FWorkersLock);
  try {
    FDiscJob = std::make_unique<TEraseThread>(*this, cd, Device);
  } catch (...) {
    ReleaseDrive(Device);
    cd.ErrorNumber = ERR_NOT_PREPARED;
    cd.ComponentStatus = CS_IDLE;
    return false;
  }
  return true;
}

bool TBrenvik::VerifyDisc(bool StopOnMismatch, bool FireVerifyEventOnAllFiles) {
  BeginJob();
  TCDFiles& cd = CDFiles;
  cd.ErrorNumber = ERR_NONE;
  // The disc addresses come from the layout of the last burn: any other layout, or another
  // drive, would compare files with whatever happens to lie there.
  if (cd.WrittenToDrive.empty() || cd.WrittenToDrive != Device.DriveLetter ||
      cd.WrittenFileCount != cd.Files.size()) {
    cd.ErrorNumber = ERR_NOT_WRITTEN;
    return false;
  }
  uint64_t sectors = 0;
  for (const auto& e : cd.Files)
    if (TVerifyDiscThread::Checks(*e)) sectors += BytesToBlocks(uint64_t(std::max<int64_t>(e->FileSize, 0)));
  cd.VerifySize = uint32_t(std::min<uint64_t>(sectors, UINT32_MAX));
  cd.VerifyProgress = 0;
  ResetSpeedSamples(Device);
  cd.ComponentStatus = CS_VERIFYING;
  std::lock_guard lock(FWorkersLock);
  try {
    FDiscJob = std::make_unique<TVerifyDiscThread>(*this, cd, Device, StopOnMismatch,
                                                   FireVerifyEventOnAllFiles);
  } catch (...) {
    cd.ErrorNumber = ERR_NOT_PREPARED;
    cd.ComponentStatus = CS_IDLE;
    return false;
  }
  return true;
}

bool TBrenvik::GenerateSmartReferences() {
  BeginJob();
  TCDFiles& cd = CDFiles;
  cd.ErrorNumber = ERR_NONE;
  cd.ComponentStatus = CS_SMARTREF;
  // References change where files lie: the layout must be prepared again, and what was burned
  // from it is no longer what a verification would compare.
  cd.Prepared = false;
  cd.WrittenToDrive.clear();
  cd.SmartReferencesSaved = 0;
  cd.SmartReferencesSkipped.clear();
  cd.SmartReferencesSize = uint32_t(std::min<uint64_t>(SmartReferenceCandidateSectors(cd), UINT32_MAX));
  cd.SmartReferencesProgress = 0;
  std::lock_guard lock(FWorkersLock);
  try {
    FDiscJob = std::make_unique<TSmartReferenceThread>(*this, cd);
  } catch (...) {
    cd.ErrorNumber = ERR_NOT_PREPARED;
    cd.ComponentStatus = CS_IDLE;
    return false;
  }
  return true;
}

void TBrenvik::WaitForJob() { JoinWorkers(); }

}  // namespace torvik
