// TBrenvik: the one object an application sees of the burning engine. It owns the layout and
// the device record, forwards layout work to the tree code, starts the worker threads of a job
// and turns their completion into events on the owner's thread.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "device/bvkSCSILib.h"
#include "layout/bvkTreeTypes.h"

namespace torvik {

class TBrenvik;
class TCacheThread;
class TWriteThread;
class TDiscJobThread;

// ---- events --------------------------------------------------------------------------------
// Sender is the component when the event comes through a completion sink, otherwise the worker
// thread object that finished. DeviceId is always 0: one device per component.
using TWriteDoneEvent = std::function<void(void* Sender, uint8_t DeviceId, bool WriteFailed)>;
using TEraseDoneEvent = std::function<void(void* Sender, uint8_t DeviceId, bool EraseFailed)>;
using TVerifyDoneEvent =
    std::function<void(void* Sender, uint8_t DeviceId, int32_t FileId, bool Failed)>;
using TSmartRefGenDoneEvent = std::function<void(void* Sender, bool Failed, int32_t CanSaveBytes)>;

// Completion messages a worker posts when its job ends.
constexpr uint32_t WM_USER = 0x0400;
constexpr uint32_t WM_ERASE_DONE = WM_USER + 101;        // lParam: EraseFailed
constexpr uint32_t WM_WRITE_DONE = WM_USER + 102;        // lParam: WriteFailed
constexpr uint32_t WM_VERIFY_DONE = WM_USER + 103;       // wParam: FileId, lParam: Failed
constexpr uint32_t WM_SMARTREF_DONE = WM_USER + 104;     // wParam: Failed, lParam: CanSaveBytes

// Error numbers of the component (larger values are drive errors, ASC * 256 + ASCQ).
constexpr uint32_t ERR_NONE = 0;
constexpr uint32_t ERR_NOT_PREPARED = 1;
constexpr uint32_t ERR_OPEN_FILE = 2;
constexpr uint32_t ERR_CREATE_FILE = 3;
constexpr uint32_t ERR_ABORTED = 4;
// Verification without the layout of the last burn. Above every drive error (ASC * 256 + ASCQ
// fits 16 bits), so it never reads as one.
constexpr uint32_t ERR_NOT_WRITTEN = 0x10000;
// The layout holds files of an earlier session that lie below where the UDF bridge's partition
// starts: the bridge cannot point at them. Burn without the bridge.
constexpr uint32_t ERR_IMPORT_BELOW_UDF = 0x10001;
// An image file is to be built from a layout that holds imported files: their data is on the
// disc (or in the mounted image), not in the new image.
constexpr uint32_t ERR_IMPORTED_NOT_IN_IMAGE = 0x10002;

// Component status values.
constexpr uint16_t CS_IDLE = 0;
constexpr uint16_t CS_WRITING = 1;
constexpr uint16_t CS_ERASING = 2;
constexpr uint16_t CS_ERASE_OVERWRITE = 3;
constexpr uint16_t CS_CLOSING = 4;
constexpr uint16_t CS_PREPARING = 6;
constexpr uint16_t CS_ABORTING = 7;
constexpr uint16_t CS_IMPORTING = 8;
constexpr uint16_t CS_WRITE_FAILED = 9;
constexpr uint16_t CS_VERIFYING = 10;
constexpr uint16_t CS_SMARTREF = 11;

// Where workers post their completion messages. The owner installs one so that the events run
// on its own thread (a GUI posts into its event loop); Post is called on a worker thread and
// must only queue the message. The owner hands each message back to
// TBrenvik::DispatchCompletion on its thread.
class TCompletionSink {
 public:
  virtual ~TCompletionSink() = default;
  virtual void Post(uint32_t Message, uint64_t wParam, int64_t lParam) = 0;
};

// A thread-safe queue of completion messages for owners without an event loop of their own
// (the CLI, tests): the owner waits on it and dispatches into the component it was made for.
class TCompletionQueue : public TCompletionSink {
 public:
  explicit TCompletionQueue(TBrenvik& Target) : FTarget(Target) {}
  void Post(uint32_t Message, uint64_t wParam, int64_t lParam) override;

  // Blocks until a message is queued, then dispatches every queued message; returns how many.
  size_t WaitAndDispatch();
  // As WaitAndDispatch, but gives up after `timeoutMs` (returns 0 then).
  size_t WaitAndDispatchFor(uint32_t timeoutMs);
  // Dispatches what is queued now, without waiting.
  size_t DispatchPending();

 private:
  struct TMessage {
    uint32_t Message;
    uint64_t wParam;
    int64_t lParam;
  };
  size_t DispatchLocked(std::unique_lock<std::mutex>& lock);

  TBrenvik& FTarget;
  std::mutex FLock;
  std::condition_variable FPosted;
  std::deque<TMessage> FQueue;
};

class TBrenvik {
 public:
  TBrenvik();
  ~TBrenvik();
  TBrenvik(const TBrenvik&) = delete;
  TBrenvik& operator=(const TBrenvik&) = delete;

  // The layout with all job state, and the device record. Worker threads get pointers to both.
  TCDFiles CDFiles;
  TSCSIDevice Device;

  // ---- options -----------------------------------------------------------------------------
  bool BurnProof() const;
  void SetBurnProof(bool Value);
  bool TestWrite() const;
  void SetTestWrite(bool Value);
  bool FinalizeDisc() const;
  void SetFinalizeDisc(bool Value);
  bool ReplaceFile() const { return CDFiles.ReplaceFile; }
  void SetReplaceFile(bool Value) { CDFiles.ReplaceFile = Value; }
  std::string VolumeID() const { return CDFiles.VolumeLabel; }
  void SetVolumeID(std::string_view Value);
  std::u16string VolumeIDW() const { return CDFiles.VolumeLabelW; }
  void SetVolumeIDW(std::u16string_view Value);
  // In MiB; clamped to 2..624 so the cache fits the 9999-packet ring.
  uint32_t CacheSize() const { return CDFiles.CacheSize >> 20; }
  void SetCacheSize(uint32_t MiB);
  bool JolietFileSystem() const { return CDFiles.JolietFS; }
  void SetJolietFileSystem(bool Value) { CDFiles.JolietFS = Value; }
  bool ISO9660v1999FS() const { return CDFiles.ISO9660v1999FS; }
  void SetISO9660v1999FS(bool Value) { CDFiles.ISO9660v1999FS = Value; }
  bool UDFBridge() const { return CDFiles.UDFBridge; }
  void SetUDFBridge(bool Value) { CDFiles.UDFBridge = Value; }
  std::string Version() const { return "PeloraBurner"; }
  std::string BootImage() const { return CDFiles.BootImage; }
  // Accepts only a file of 2048, 1228800, 1474560 or 2949120 bytes; anything else (and an
  // empty text) leaves the value as it was.
  void SetBootImage(std::string_view Path);

  // ---- events ------------------------------------------------------------------------------
  const TAddFileEvent& OnAddFile() const { return FOnAddFile; }
  void SetOnAddFile(TAddFileEvent Handler) { FOnAddFile = std::move(Handler); }
  const TWriteDoneEvent& OnWriteDone() const { return FOnWriteDone; }
  void SetOnWriteDone(TWriteDoneEvent Handler) { FOnWriteDone = std::move(Handler); }
  const TEraseDoneEvent& OnEraseDone() const { return FOnEraseDone; }
  void SetOnEraseDone(TEraseDoneEvent Handler) { FOnEraseDone = std::move(Handler); }
  const TVerifyDoneEvent& OnVerifyDone() const { return FOnVerifyDone; }
  void SetOnVerifyDone(TVerifyDoneEvent Handler) { FOnVerifyDone = std::move(Handler); }
  const TSmartRefGenDoneEvent& OnGenerateSmartReferencesDone() const { return FOnSmartRefGenDone; }
  void SetOnGenerateSmartReferencesDone(TSmartRefGenDoneEvent Handler) {
    FOnSmartRefGenDone = std::move(Handler);
  }

  // ---- completion --------------------------------------------------------------------------
  // With a sink the events run wherever the owner dispatches them; without one (the default)
  // they run on the worker thread that finished. Install it while no job runs.
  void SetCompletionSink(TCompletionSink* Sink) { FSink = Sink; }
  TCompletionSink* CompletionSink() const { return FSink; }
  // Turns a posted completion message into its event, with the component as Sender.
  void DispatchCompletion(uint32_t Message, uint64_t wParam, int64_t lParam);
  // Used by worker threads at the end of a job: posts the message to the sink, or, without one,
  // calls the event at once with `Sender`. Nothing happens when the event has no handler.
  void Complete(uint32_t Message, uint64_t wParam, int64_t lParam, void* Sender);

  // ---- state and errors --------------------------------------------------------------------
  uint16_t ComponentStatus() const { return CDFiles.ComponentStatus.load(); }
  // Reading the number clears it; when the layout holds none, the drive's error is read (and
  // cleared) instead.
  uint32_t ErrorNumber();
  std::string ErrorString();
  std::u16string ErrorStringW();
  // ErrorString followed by the OS's reason when an OS call failed and, for a drive's error,
  // its sense as key/ASC/ASCQ with the MMC meaning: "Hardware Error 3072. (03/0C/00 write
  // error)". Clears the number as ErrorString does.
  std::string ErrorDescription();
  // The errno of the OS call behind the last job failure that came from one (opening, reading
  // or writing a file), 0 otherwise; reading it does not clear it. A job's start clears it.
  int LastOSError();
  void AbortOperation();

  // ---- layout ------------------------------------------------------------------------------
  void ClearAll();
  pDirEntry CreateDir(std::string_view DestPath, std::string_view DirName);
  pDirEntry CreateDirW(std::u16string_view DestPath, std::u16string_view DirName);
  pFileEntry InsertFile(std::string_view DestPath, std::string_view FileName);
  pFileEntry InsertFileW(std::u16string_view DestPath, std::u16string_view FileName);
  pFileEntry InsertFileWithName(std::string_view DestPath, std::string_view FileName,
                                std::string_view LongNameOnDisc, std::string_view ShortNameOnDisc);
  pFileEntry InsertFileWithNameW(std::u16string_view DestPath, std::u16string_view FileName,
                                 std::u16string_view LongNameOnDisc,
                                 std::u16string_view ShortNameOnDisc);
  pFileEntry InsertMemoryFile(std::string_view DestPath, const TWin32FindDataW& FindFileData,
                              TGetDataEvent OnGetData);
  pFileEntry InsertMemoryFileW(std::u16string_view DestPath, const TWin32FindDataW& FindFileData,
                               TGetDataEvent OnGetData);
  pDirEntry InsertDir(std::string_view DestPath, std::string_view DirPath,
                      std::string_view FileSpecs, bool Recursive, bool SavePath);
  pDirEntry InsertDirW(std::u16string_view DestPath, std::u16string_view DirPath,
                       std::u16string_view FileSpecs, bool Recursive, bool SavePath);
  uint32_t Prepare();

  uint32_t FileCount() const { return uint32_t(CDFiles.FileCounter()); }
  uint32_t DirCount() const { return uint32_t(CDFiles.DirCounter()); }
  uint32_t FilesCount() const { return FileCount(); }
  uint32_t DirsCount() const { return DirCount(); }
  std::u16string SourcePath(int64_t FileId) const;
  std::u16string DestinationPath(int64_t FileId) const;
  std::u16string FileName(int64_t FileId) const;
  std::string ShortFileName(int64_t FileId) const;
  int64_t FileSize(int64_t FileId) const;
  std::u16string DirName(int64_t DirId) const;
  bool IsDirectory(int64_t FileId) const;
  int64_t FileAddress(int64_t FileId) const;
  int64_t FindFile(std::string_view Directory, std::string_view FileToFind);
  int64_t FindFileW(std::u16string_view Directory, std::u16string_view FileToFind);

  // ---- session import (bvkSessionImport.cpp) -----------------------------------------------
  // Reads session SessionNo (0: the last complete one) of the disc in the selected drive and
  // adds its tree below DestPath (the root when it does not resolve) as imported entries.
  // Returns the session number read, or 0 when nothing was imported: no session, no readable
  // volume, or bytes that do not make a sound tree; the layout is then as it was and
  // ImportError says why.
  int ImportSession(uint8_t SessionNo, std::string_view DestPath);
  int ImportSessionW(uint8_t SessionNo, std::u16string_view DestPath);
  // Adds the tree of an ISO image file to the root. False (the layout as it was, ImportError
  // saying why) when the file cannot be opened or its bytes do not make a sound tree.
  bool MountISOImage(std::string_view ISOFileName);
  // The label of session SessionNo (0: the last complete one); empty when none was found.
  std::u16string ReadVolumeLabelOfDisc(uint8_t SessionNo);
  // Why the last import failed.
  const std::string& ImportError() const { return CDFiles.LastInsertError; }

  // ---- progress (read while a job runs) ----------------------------------------------------
  uint32_t CachePosition() const;
  uint32_t ImageSize() const { return CDFiles.TotalImageSize; }
  uint32_t BlocksWritten() const { return CDFiles.BlocksWritten.load(); }
  int32_t ReadingFile() const { return CDFiles.ReadingFile.load(); }
  int32_t WritingFile() const { return CDFiles.WritingFile.load(); }
  uint32_t VerifyProgress() const { return CDFiles.VerifyProgress.load(); }
  uint32_t VerifySize() const { return CDFiles.VerifySize.load(); }
  uint32_t SmartReferencesProgress() const { return CDFiles.SmartReferencesProgress.load(); }
  uint32_t SmartReferencesSize() const { return CDFiles.SmartReferencesSize.load(); }

  // ---- jobs --------------------------------------------------------------------------------
  // Writes the prepared layout to an image file (created anew). True when the job was started;
  // exactly one write-done event follows. False (error 1 or 3) raises no event.
  bool BuildISOImage(std::string_view FileName);
  bool BuildISOImageW(std::u16string_view FileName);
  // Writes the prepared layout to the disc in the selected drive, as a new session where the
  // medium takes one. True when the job was started; exactly one write-done event follows.
  bool Burn();
  // Writes an existing image file to the disc. False (error 2 when the file cannot be opened)
  // raises no event.
  bool BurnISOImage(std::string_view FileName);
  bool BurnISOImageW(std::u16string_view FileName);
  // Blanks or reformats the rewritable disc in the selected drive: Quick leaves it reusable in
  // the shortest time (a minimal blank, a quick format), otherwise the whole disc. True when
  // the job was started; exactly one erase-done event follows. False, with no event, when the
  // drive is held by another program (error 1, the OS reason in LastOSError).
  bool EraseDisc(bool Quick);
  // Reads the files of the layout last burned back from the disc and compares them with their
  // sources (MD5). StopOnMismatch ends at the first file that differs; without
  // FireVerifyEventOnAllFiles only failed files raise their event. True when started; the
  // per-file events and one final event (FileId -1) follow. False (error 5), with no event,
  // when the layout is not the one last burned to the selected drive.
  bool VerifyDisc(bool StopOnMismatch, bool FireVerifyEventOnAllFiles);
  // Looks for files of the layout with identical contents, so that each content is stored once
  // (call it after filling the layout and before Prepare, which it makes necessary again).
  // True when started; one smart-references-done event follows. SmartReferencesProgress and
  // SmartReferencesSize count sectors while it runs.
  bool GenerateSmartReferences();
  // After the done event: what the references found save, in bytes (the event has only the
  // low 32 bits), and the source files that could not be read and so were left out.
  uint64_t SmartReferencesSaved() const { return CDFiles.SmartReferencesSaved; }
  const std::vector<std::u16string>& SmartReferencesSkipped() const {
    return CDFiles.SmartReferencesSkipped;
  }

  // Waits until the worker threads of the last job have ended. The component's destructor
  // does this after requesting an abort.
  void WaitForJob();

  // ---- device and disc operations (bvkCDBurnerDevice.cpp) ----
  // Call InitializeASPI once, then SelectDevice; until a drive is selected every drive command
  // fails and the queries answer False, 0 or an empty text. They block the caller while the
  // drive works and must not be used while a job runs.
  // A virtual drive (PATH and PATH.state) to list after the real drives at the next
  // InitializeASPI.
  void AddVirtualDrive(std::string_view Path);
  // On Linux there is no ASPI layer: NoInternalASPI set means no transport. Reserved1 is the
  // device-log path (empty: no log).
  bool InitializeASPI(bool NoInternalASPI, std::string_view ASPIDLLPath,
                      std::string_view Reserved1);
  uint16_t DeviceCount() const { return Device.NoOfDevices; }
  std::string GetDeviceName(uint8_t DeviceIndex) const;
  bool SelectDevice(uint8_t DeviceIndex);
  // By short id ("sr0", "vd0").
  bool SelectDeviceByLetter(std::string_view DriveLetter);
  bool DeviceCan(uint8_t DeviceCapabilityID);
  TMedium DiscIs();
  bool Writable();
  bool Erasable();
  bool DeviceIsBurner();
  bool TestUnitReady();
  int SessionsOnDisc();
  uint32_t FreeBlocksOnDisc();
  uint32_t TotalBlocksOnDisc();
  uint16_t DeviceMaxReadSpeed();
  uint16_t DeviceMaxWriteSpeed();
  uint16_t ReadSpeed();
  uint16_t WriteSpeed();
  uint16_t MaxWriteSpeed();
  uint32_t DeviceBufferSize() const { return Device.DeviceBufferSize; }
  uint32_t DeviceBufferPosition() const;
  void SetDeviceSpeed(uint16_t ReadSpeed, uint16_t WriteSpeed);
  bool FlushCache();
  bool LockMedium();
  bool UnlockMedium();
  bool UnlockDrive();
  bool LoadMedium(bool Immediate);
  bool EjectMedium(bool Immediate);
  uint16_t BMAvgWriteSpeed();
  uint16_t BMAvgReadSpeed();
  uint16_t BMWriteSpeed();
  uint16_t BMReadSpeed();
  // ---- end of device and disc operations ----

 private:
  friend class TWriteThread;

  // What a job reports to, copied when it starts so the owner may change its handlers while
  // the job runs.
  struct TJobHandlers {
    TCompletionSink* Sink = nullptr;
    TWriteDoneEvent WriteDone;
    TEraseDoneEvent EraseDone;
    TVerifyDoneEvent VerifyDone;
    TSmartRefGenDoneEvent SmartRefGenDone;
  };

  // Every job method starts with this: the previous job's threads are joined and the handlers
  // copied for the new one.
  void BeginJob();
  // BeginJob for the jobs that stream the prepared layout: false (error 1) when it is not
  // prepared.
  bool BeginLayoutJob();
  // Starts producer and write thread for the mode set in CDFiles; false leaves no thread.
  bool StartWriteOperation();
  // Joins finished workers. A worker that starts the next job from its completion handler
  // cannot join itself; its thread is kept and joined by a later call or the destructor.
  void JoinWorkers();
  std::u16string ErrorFileNameCopy();

  TAddFileEvent FOnAddFile;
  TEraseDoneEvent FOnEraseDone;
  TSmartRefGenDoneEvent FOnSmartRefGenDone;
  TWriteDoneEvent FOnWriteDone;
  TVerifyDoneEvent FOnVerifyDone;
  TCompletionSink* FSink = nullptr;
  TJobHandlers FJob;

  std::mutex FWorkersLock;
  std::unique_ptr<TCacheThread> FCacheThread;
  std::unique_ptr<TWriteThread> FWriteThread;
  std::vector<std::unique_ptr<TWriteThread>> FRetiredWriters;
  std::unique_ptr<TDiscJobThread> FDiscJob;  // erase, verification or duplicate search
  std::vector<std::unique_ptr<TDiscJobThread>> FRetiredDiscJobs;
};

}  // namespace torvik
