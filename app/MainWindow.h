// The main window: tool bar, menu, folder tree, file list, burn list, message list and the
// progress strip, with the drive panel's state and the burn list's summary.
#pragma once

#include <QFuture>
#include <QMainWindow>
#include <QStringList>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "BurnList.h"
#include "DriveState.h"
#include "burner/bvkCDBurner.h"

class QAction;
class QLabel;
class QListWidget;
class QProgressBar;
class QToolButton;
class QTreeView;
class QFileSystemModel;
class QUrl;

namespace torvik::app {

class TBurnListWidget;
class TPropertiesDialog;
class TQtCompletionSink;

struct TAppOptions {
  std::vector<std::string> VirtualDrives;  // --virtual-drive PATH, in order
  std::string PropertiesPath;              // empty: the user's configuration folder
  std::string TempDir;                     // empty: the per-user cache folder
  std::string SysfsRoot;                   // empty: the system's; tests hide real drives
  std::string StartFolder;                 // empty: the home folder
  unsigned SettleMs = 100;                 // pause before a drive is read again
  bool StartupTimer = true;                // tests tick the start-up messages themselves
};

// What the window asks of the person in front of it. Tests replace these.
struct TDialogHooks {
  std::function<void(const QString& text)> Message;
  std::function<bool(const QString& text)> ConfirmAbort;
  std::function<void(const QString& url)> OpenUrl;
  std::function<QStringList(int* filterIndex)> ChooseFiles;
  std::function<void()> About;
  std::function<void()> ShowProperties;
  std::function<void()> WaitForAbort;
  // Yes and No; true for Yes.
  std::function<bool(const QString& text)> Confirm;
  // Yes, No and Cancel; true for Yes.
  std::function<bool(const QString& text)> ConfirmOverwrite;
  // The image file to burn and the one to build; empty when cancelled.
  std::function<QString()> ChooseImageToBurn;
  std::function<QString()> ChooseImageToSave;
};

constexpr const char* kSaveImageEntry = "Save ISO image";
constexpr const char* kAboutText = "Torvik  v 1.2.1";
constexpr const char* kAddFilesFilter =
    "AudioFiles (*.wav *.tta *.ogg *.flac *.ape *.mpc *.wv *.mp3 *.wma *.m4a *.aac);;"
    "PeloraPlaylist (.slist) (*.slist);;AllFiles (*)";

class TMainWindow : public QMainWindow {
  Q_OBJECT

 public:
  explicit TMainWindow(TAppOptions options, QWidget* parent = nullptr);
  ~TMainWindow() override;

  TBrenvik& Burner() { return FBurner; }
  TDialogHooks& Hooks() { return FHooks; }

  // ---- handlers (also reached from the menu) ----
  void SpBtnAddFilesClick();
  void SpBtnBurnCloseFileClick();
  void SpBtnClearClick();
  void SpBtnCloseClick();
  void SpBtnOpenDriveClick();
  void SpBtnCloseDriveClick();
  void SpBtnInfoClick();
  void SpBtnPropClick();
  void SpBtnHelpClick();
  void MenuSupportClick();
  void HomePageClick();
  void DownloadClick();
  void AboutClick();
  void TimerMessTimer();
  void TimerPropTimer();

  // ---- jobs ----
  void SpBtnBurnClick();
  void SpBtnTestWrtClick();
  void SpBtnBurnISOClick();
  void SpBtnBuildISOClick();
  void SpBtnQuickEraseClick();
  void SpBtnFullEraseClick();
  void SpBtnVerifyClick();
  void SpBtnAbortBurnClick();
  void TestClick() {}
  void TimerWriteTimer();
  void TimerEraseTimer();
  void ShowProgress(uint16_t status);
  void BurnerWriteDone(void* sender, uint8_t deviceId, bool writeFailed);
  void BurnerEraseDone(void* sender, uint8_t deviceId, bool eraseFailed);
  void BurnerVerifyDone(void* sender, uint8_t deviceId, int32_t fileId, bool failed);
  bool BldISO() const { return FBldISO; }
  bool OnlyISO() const { return FOnlyISO; }
  double SizeISOMB() const { return FSizeISOMB; }
  bool Writing() const { return FTimerWrite.isActive(); }
  bool Erasing() const { return FTimerErase.isActive(); }
  QString ExecutedText() const;
  QString SpeedLine() const;

  // ---- drive panel ----
  void CBoxCDChange();
  void CBoxBurnDriveChange();
  void CBoxCacheChange();
  void UpdateDriveState();
  void ReadSelectedDrive();
  bool DiscPresent(const std::string& id);
  void RefreshDrive();
  void DisableActions();

  // ---- burn list ----
  // Adds the chosen files as the add-files dialog's filter index says.
  void AddChosenFiles(const QStringList& files, int filterIndex);
  void DropFromTree();
  void DropFromFileList();
  void DropUrls(const QList<QUrl>& urls);
  void UpdateBurnListSummary();
  // The folder shown in the file list.
  void SetCurrentFolder(const QString& folder);

  // ---- properties ----
  void ReadPropFile();
  void WritePropFile();
  // From the properties dialog's OK: applied at once when nothing changed, else 200 ms later.
  void PropertiesConfirmed(int driveIndex, int cacheIndex, const QString& label);

  // ---- state, for the dialogs and for tests ----
  const QStringList& DriveEntries() const { return FDriveEntries; }
  int DriveIndex() const { return FDriveIndex; }
  void SetDriveIndex(int index) { FDriveIndex = index; }
  const QStringList& BurnTargets() const { return FBurnTargets; }
  int BurnTargetIndex() const { return FBurnTargetIndex; }
  void SetBurnTargetIndex(int index) { FBurnTargetIndex = index; }
  int CacheIndex() const { return FCacheIndex; }
  void SetCacheIndex(int index) { FCacheIndex = index; }
  int CacheSize() const { return FCacheSize; }
  int FilterIndex() const { return FFilterIndex; }
  QString VolumeLabel() const;
  bool ChooseProp() const { return FChooseProp; }
  bool BurnProgress() const { return FBurnProgress; }
  double TotAddSize() const { return FTotAddSize; }
  const std::string& DriveLetter() const { return FDriveLetter; }
  bool DiscInDrv() const { return FDiscInDrv; }
  int StartupStage() const { return FMessStage; }
  bool SummaryPending() const { return FSummaryPending; }
  std::string PropertiesPath() const;
  QString TempDir() const { return FTempDir; }
  QStringList Memo1;  // lines of a support message
  // The rest of the hidden panel, for the jobs: the last speed set and the "SavePath" choice.
  QString LblMaxSpeed = "5125 KB/s";
  bool ChkSavePath = false;

  QStringList BurnListPaths() const { return FShortCuts; }
  QStringList BurnListNames() const;
  QStringList Messages() const;
  TMessageColour MessageColour() const { return FMessageColour; }
  // The enabling the widgets show now.
  TActionEnabling Enabling() const;
  QListWidget* BurnList() const;
  QListWidget* FileList() const { return FFiles; }
  QTreeView* FolderTree() const { return FTree; }
  TPropertiesDialog* PropertiesDialog() const { return FPropDialog; }

 signals:
  // The size summary has been written (after the count off the UI thread).
  void SummaryUpdated();
  // A job has been handled to its end and the window is idle again.
  void JobEnded();

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateActions();
  void CreateToolBar();
  void CreateWorkArea();
  void CreateMenu();
  void FormCreate();
  void FormShow();
  QToolButton* AddButton(QWidget* group, const char* name, const QString& hint,
                         const char* icon, void (TMainWindow::*handler)() = nullptr);
  void ApplyEnabling(const TActionEnabling& e);
  void ClearMessages();
  void AddMessage(const QString& line);
  void SetMessageColour(TMessageColour colour);
  void AppendStatusLine();
  // The length check; true when the entry was added.
  bool AddEntry(const QString& path, bool folder);
  void AfterAdding();
  void SelectFirstEntry();
  void SetBusyPointer(bool busy);
  void SummaryCounted(uint64_t generation, uint64_t bytes);
  bool OpenTray(const std::string& id);
  bool CloseTray(const std::string& id);
  void Settle();

  // Jobs.
  void StartBurn(bool testWrite);
  bool MeasureImageSize();
  bool FillLayout();
  void Burn();
  void RefuseJob(const QString& line);
  void UpdateImageSizeSummary(const QString& imageFile);
  void FinishDiscJob();
  void RefreshAfterJob();
  bool SelectChosenDrive();
  QString DriveItem() const;
  void DiscMissingBoxes();
  void NotWritableLines();
  void UsedDiscLines();
  void SetDriveSpeed();
  void SetBurnerBarColour(const char* colour);
  void ResetBars();
  static bool FileWritable(const QString& path);

  TAppOptions FOptions;
  TDialogHooks FHooks;
  TBrenvik FBurner;
  std::unique_ptr<TQtCompletionSink> FSink;

  // The hidden panel's lists, kept as plain data.
  QStringList FDriveEntries;   // CBoxCD
  int FDriveIndex = -1;
  QStringList FBurnTargets;    // CBoxBurnDrive
  int FBurnTargetIndex = -1;
  int FCacheIndex = 1;         // CBoxCache
  QStringList FShortCuts;      // full paths of the burn list
  int FFilterIndex = 1;

  // Window state.
  std::string FDriveLetter;
  double FTotAddSize = 0;
  bool FDiscInDrv = false;
  bool FChooseProp = false;
  bool FDlgBox = false;
  bool FUpdateProg = false;
  bool FBurnProgress = false;
  bool FShown = false;
  int FCacheSize = 0;
  QString FAppDir;
  QString FTempDir;
  TMessageColour FMessageColour = TMessageColour::Maroon;
  bool FBldISO = false;
  bool FBldISOTstWrt = false;
  bool FOnlyISO = false;
  double FSizeISOMB = 0;
  QString FISOFileName;
  uint32_t FMeasuredBlocks = 0;
  std::string FMeasureError;          // why the size measuring failed (a source unreadable, an abort)
  std::vector<std::string> FVerifyPaths;
  size_t FVerifyChecked = 0, FVerifyFailures = 0;
  QTimer FTimerWrite;
  uint64_t FWriteTag = 0;
  QTimer FTimerErase;
  uint64_t FEraseTag = 0;
  bool FFullErase = false;

  QTimer FTimerMess;
  int FMessStage = 0;
  QTimer FTimerProp;
  int FPropTag = 0;
  int FPendingDrive = -1, FPendingCache = 1;
  QString FPendingLabel;

  // The running size count.
  QFuture<uint64_t> FSummaryFuture;
  std::shared_ptr<std::atomic<bool>> FSummaryCancel;
  uint64_t FSummaryGeneration = 0;
  bool FSummaryPending = false;  // a count runs or its result has not been written yet
  bool FBusyPointer = false;

  // Widgets.
  QWidget* FPanelEjectBtns = nullptr;
  QWidget* FPanelEraseBtns = nullptr;
  QWidget* FPanelISOBtns = nullptr;
  QWidget* FPanelBurnBtns = nullptr;
  QWidget* FPanelAbort = nullptr;
  QToolButton* FSpBtnTestWrt = nullptr;
  QToolButton* FSpBtnInfo = nullptr;
  QToolButton* FSpBtnVerify = nullptr;
  QLabel* FPanelExecuted = nullptr;
  QLabel* FPanelSpeed = nullptr;
  QTreeView* FTree = nullptr;
  QFileSystemModel* FTreeModel = nullptr;
  QListWidget* FFiles = nullptr;
  TBurnListWidget* FBurnList = nullptr;
  QListWidget* FMessages = nullptr;
  QProgressBar* FProgressBurner = nullptr;
  QProgressBar* FProgressCachePos = nullptr;
  QProgressBar* FProgressDevBuffPos = nullptr;
  QString FCurrentFolder;
  QAction* FMenuAddFile = nullptr;
  QAction* FMenuQuickErase = nullptr;
  QAction* FMenuBuildISO = nullptr;
  QAction* FMenuBurnISO = nullptr;
  QAction* FMenuTestWrite = nullptr;
  QAction* FMenuBurnFiles = nullptr;
  bool FMenuTestWriteEnabled = true;
  QAction* FMenuAbortBurner = nullptr;
  QAction* FMenuInfo = nullptr;
  QAction* FMenuVerify = nullptr;
  TPropertiesDialog* FPropDialog = nullptr;
};

}  // namespace torvik::app
