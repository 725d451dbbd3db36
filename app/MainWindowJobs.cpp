// The window's jobs: burning the burn list (size check, then the disc), test writing, burning
// and building image files, erasing, verifying and aborting, with their progress display and
// the handling of the component's completion events (delivered through the Qt event loop).
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QFileInfo>
#include <algorithm>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QTimer>

#include "JobText.h"
#include "MainWindow.h"
#include "device/bvkDeviceTypes.h"

namespace torvik::app {

namespace {

constexpr const char* kRed = "rgb(255,128,128)";
constexpr const char* kBlue = "rgb(117,207,255)";
constexpr int kBarSteps = 10000;

QString Q(const std::string& s) { return QString::fromStdString(s); }

// Bars show position against range scaled to a fixed number of steps: block counts and byte
// positions do not fit a bar's int range on large discs.
void SetBar(QProgressBar* bar, uint64_t position, uint64_t range) {
  bar->setRange(0, kBarSteps);
  bar->setValue(range == 0 ? 0 : int(std::min<uint64_t>(position, range) * kBarSteps / range));
}

}  // namespace

QString TMainWindow::ExecutedText() const { return FPanelExecuted->text(); }
QString TMainWindow::SpeedLine() const { return FPanelSpeed->text(); }

QString TMainWindow::DriveItem() const {
  return FDriveIndex >= 0 && FDriveIndex < FDriveEntries.size() ? FDriveEntries[FDriveIndex]
                                                                 : QString();
}

// The job goes to the drive the person chose, found by its id (the list's order may differ from
// the component's once drives come and go).
bool TMainWindow::SelectChosenDrive() {
  if (FDriveLetter.empty()) return false;
  return FBurner.Device.DriveLetter == FDriveLetter || FBurner.SelectDeviceByLetter(FDriveLetter);
}

void TMainWindow::SetBurnerBarColour(const char* colour) {
  FProgressBurner->setStyleSheet(QString("QProgressBar { border: 1px solid gray; background: white; }"
                                         " QProgressBar::chunk { background: %1; }")
                                     .arg(colour));
}

void TMainWindow::ResetBars() {
  for (QProgressBar* bar : {FProgressBurner, FProgressCachePos, FProgressDevBuffPos}) bar->setValue(0);
}

void TMainWindow::SetDriveSpeed() { FBurner.SetDeviceSpeed(0, 0); }

// ---- refusals shared by the jobs ------------------------------------------------------------

void TMainWindow::DiscMissingBoxes() {
  const QString item = DriveItem();
  if (FBurner.DiscIs() == mtUNKNOWN)
    FHooks.Message("The selected " + item + " is empty. Please insert a writable disc and try again.");
  else if (FBurner.SessionsOnDisc() != 0)
    FHooks.Message("The disc in " + item + " is not empty. Please insert a writable disc and try again.");
  else
    FHooks.Message("Please insert a writable disc in the selected " + item + " and try again.");
  FBurner.FlushCache();
  FBurner.EjectMedium(true);
  AddMessage("The disc tray is ejected.");
  SetMessageColour(TMessageColour::Red);
}

void TMainWindow::NotWritableLines() {
  const QString item = DriveItem();
  AddMessage("Burner is unable to write to disc!");
  AddMessage(item + " selected!");
  if (FBurner.FreeBlocksOnDisc() != 0xFFFFFFFFu && FDiscInDrv) {
    AddMessage("The disc is not empty!");
  } else {
    AddMessage("The disc drive is either empty or disc in " + item + " is not writable!");
    FBurner.FlushCache();
    FBurner.EjectMedium(true);
    AddMessage("The disc tray is ejected.");
  }
  SetMessageColour(TMessageColour::Red);
}

void TMainWindow::UsedDiscLines() {
  AddMessage("The disc in " + DriveItem() + " is not empty!");
  // The drive is read again; the refusal's line stays above what it says.
  FUpdateProg = true;
  CBoxCDChange();
  FUpdateProg = false;
  FBurner.FlushCache();
  FBurner.EjectMedium(true);
  AddMessage("The disc tray is ejected.");
  SetMessageColour(TMessageColour::Red);
}

// ---- burn files and test write ---------------------------------------------------------------

void TMainWindow::SpBtnBurnClick() { StartBurn(false); }

void TMainWindow::SpBtnTestWrtClick() { StartBurn(true); }

void TMainWindow::StartBurn(bool testWrite) {
  if (FBurnProgress) {
    if (!testWrite) FHooks.Message("Torvik is busy, please try again later.");
    return;
  }
  ReadSelectedDrive();
  if (FShortCuts.isEmpty()) {
    FHooks.Message("There is no file added to the BurnerFileList!");
    return;
  }
  if (!FBldISO) {
    // Phase 1: the size the burn list needs, and every source readable, before the disc is touched.
    if (SelectChosenDrive() && FBurner.TestUnitReady() && FBurner.DiscIs() != mtUNKNOWN &&
        FBurner.Writable() && FBurner.SessionsOnDisc() == 0) {
      if (testWrite && !FBurner.DeviceCan(DC_TEST_WRITE)) {
        FHooks.Message("Selected disc drive is unable to do test-write.");
        return;
      }
      FBldISO = true;
      FBldISOTstWrt = testWrite;
      if (MeasureImageSize()) {
        ClearMessages();
        AddMessage("Getting required free disc space.");
        AddMessage("Prepare for writing. Please wait.");
        SetMessageColour(TMessageColour::Teal);
        FBurnProgress = true;
      }
    } else {
      DiscMissingBoxes();
    }
    return;
  }
  // Phase 2: the size is known.
  FBldISO = false;
  FBldISOTstWrt = false;
  TSpaceCheck space;
  space.SizeMiB = FSizeISOMB;
  if (!FBurner.Writable()) {
    NotWritableLines();
  } else if (FBurner.SessionsOnDisc() != 0) {
    UsedDiscLines();
  } else if (!(FSizeISOMB > 0)) {
    FHooks.Message("Geting required free disc space failed!");
  } else if (space.FreeBlocks = FBurner.FreeBlocksOnDisc(); EnoughSpace(space)) {
    if (testWrite) FBurner.SetTestWrite(true);
    FBurner.ClearAll();
    if (!FillLayout()) {
      RefuseJob("Writing to disc failed. Error: Failed to add file to disc layout.");
      return;
    }
    FBurnProgress = true;
    Burn();
  } else {
    FHooks.Message("Not enough of writable free disc space!");
  }
}

// The size the burn list takes on the disc, from its prepared layout (the exact size an image
// built from it would have), and one open of every source file so that an unreadable or
// vanished file stops the burn here. Ends like a job, with the write completion posted to the
// event loop, so that phase 2 follows the same path. False when it could not start.
bool TMainWindow::MeasureImageSize() {
  FBurnTargetIndex = int(FBurnTargets.size()) - 1;
  FISOFileName = FTempDir + "/TorvikISO.iso";
  FSizeISOMB = 0;
  FMeasuredBlocks = 0;
  FMeasureError.clear();
  FBurner.ClearAll();
  if (!FillLayout()) {
    RefuseJob("Geting required free disc space failed. Error: Failed to add file to disc layout.");
    return false;
  }
  Burn();
  return FBurnTargetIndex == int(FBurnTargets.size()) - 1 && FBldISO;
}

bool TMainWindow::FillLayout() {
  bool complete = true;
  for (const QString& entry : FShortCuts) {
    const QFileInfo info(entry);
    const std::string path = entry.toStdString();
    if (info.isDir()) {
      // The folder's files and subfolders land in the root of the disc, as torvik-cli puts them.
      if (FBurner.InsertDir("\\", path, "*.*", true, ChkSavePath) == nullptr) {
        AddMessage("Failed to add file to disc layout.");
        SetMessageColour(TMessageColour::Red);
        complete = false;
      }
    } else if (info.exists()) {
      if (FBurner.InsertFile("\\", path) == nullptr) {
        AddMessage("Failed to add file to disc layout.");
        SetMessageColour(TMessageColour::Red);
        complete = false;
      }
    }
  }
  return complete;
}

void TMainWindow::RefuseJob(const QString& line) {
  SetBusyPointer(FSummaryPending);
  AddMessage(line);
  FBldISO = false;
  FBldISOTstWrt = false;
  SetMessageColour(TMessageColour::Red);
  FBurnProgress = false;
  FOnlyISO = false;
  FBurner.SetTestWrite(false);
  FBurnTargetIndex = FDriveIndex;
  emit JobEnded();
}

void TMainWindow::Burn() {
  const bool image = FBurnTargetIndex == int(FBurnTargets.size()) - 1;
  SetBusyPointer(true);
  if (image) {
    FBurner.Prepare();
    if (!FBurner.CDFiles.Prepared) {
      RefuseJob(QString(FBldISO ? "Geting required free disc space failed. Error: "
                                : "Building ISO image file failed. Error: ") +
                Q(JobErrorText(FBurner)));
      return;
    }
    bool started = false;
    if (FBldISO) {
      FMeasuredBlocks = FBurner.ImageSize();
      std::vector<std::string> sources;
      for (const QString& p : FShortCuts) sources.push_back(p.toStdString());
      if (const std::string unreadable = FirstUnreadableSource(sources); !unreadable.empty())
        FMeasureError = "Cannot read " + unreadable;
      const auto device = uint8_t(std::max(FDriveIndex, 0));
      // An abort before this arrives fails the measuring too.
      QMetaObject::invokeMethod(
          this, [this, device] { BurnerWriteDone(this, device, !FMeasureError.empty()); },
          Qt::QueuedConnection);
      started = true;
    } else {
      started = FBurner.BuildISOImage(FISOFileName.toStdString());
    }
    if (!started) {
      RefuseJob("Building ISO image file failed. Error: " + Q(JobErrorText(FBurner)));
      return;
    }
    SetBurnerBarColour(kBlue);
    FWriteTag = 0;
    FTimerWrite.start();
    DisableActions();
    FPanelAbort->setEnabled(true);
    FMenuAbortBurner->setEnabled(true);
    FPanelEjectBtns->setEnabled(false);
    if (!FBldISO) {
      AddMessage("Building ISO image file. Start.");
      SetMessageColour(TMessageColour::Teal);
    }
    return;
  }
  SelectChosenDrive();
  SetDriveSpeed();
  LblMaxSpeed = QString::number(FBurner.WriteSpeed()) + " kB/s";
  FBurner.Prepare();
  if (!FBurner.CDFiles.Prepared || !FBurner.Burn()) {
    RefuseJob("Writing to disc failed. Error: " + Q(JobErrorText(FBurner)));
    return;
  }
  SetBurnerBarColour(kRed);
  FWriteTag = 0;
  FTimerWrite.start();
  DisableActions();
  FPanelEjectBtns->setEnabled(false);
  AddMessage("Writing to disc. Start.");
  SetMessageColour(TMessageColour::Teal);
}

void TMainWindow::UpdateImageSizeSummary(const QString& imageFile) {
  if (FBldISO) {
    FSizeISOMB = double(FMeasuredBlocks) * 2048 / 1024 / 1024;
  } else {
    const QFileInfo info(imageFile);
    FSizeISOMB = info.isFile() ? double(info.size()) / 1024 / 1024 : 0;
  }
  if (!(FSizeISOMB > 0)) return;
  TSpaceCheck space;
  space.Writable = FBurner.Writable();
  space.Sessions = FBurner.SessionsOnDisc();
  space.FreeBlocks = FBurner.FreeBlocksOnDisc();
  space.SizeMiB = FSizeISOMB;
  for (const std::string& line : SpaceLines(space)) AddMessage(Q(line));
  SetMessageColour(TMessageColour::Teal);
}

// ---- progress and completion -----------------------------------------------------------------

void TMainWindow::TimerWriteTimer() {
  ++FWriteTag;
  ShowProgress(FBurner.ComponentStatus());
  SetBusyPointer(true);
}

void TMainWindow::ShowProgress(uint16_t status) {
  const std::string elapsed = ElapsedText(FWriteTag, 10);
  const uint16_t now = FBurner.ComponentStatus();
  if (status == CS_SMARTREF) {
    const uint32_t range = FBurner.SmartReferencesSize(), position = FBurner.SmartReferencesProgress();
    SetBar(FProgressBurner, position, range);
    FPanelExecuted->setText(Q(ProgressText("Done: ", position, range)));
    FPanelSpeed->clear();
  } else if (now == CS_VERIFYING) {
    const uint32_t range = FBurner.VerifySize(), position = FBurner.VerifyProgress();
    SetBar(FProgressBurner, position, range);
    FPanelExecuted->setText(Q(ProgressText("Done: ", position, range)));
    FPanelSpeed->setText(Q(SpeedText(elapsed, FBurner.BMReadSpeed())));
  } else if (now == CS_WRITING || now == CS_CLOSING) {
    const uint32_t range = FBurner.ImageSize(), position = FBurner.BlocksWritten();
    SetBar(FProgressBurner, position, range);
    FPanelExecuted->setText(Q(ProgressText("Executed: ", position, range)));
    FPanelSpeed->setText(Q(SpeedText(elapsed, FBurner.BMWriteSpeed())));
    SetBar(FProgressCachePos, FBurner.CachePosition(), uint64_t(FBurner.CacheSize()) * 1048576);
    SetBar(FProgressDevBuffPos, FBurner.DeviceBufferPosition(), FBurner.DeviceBufferSize());
  }
  if (!FBldISO) AppendStatusLine();
  if (now == CS_IDLE) {
    FBurnProgress = false;
    ResetBars();
    SetBusyPointer(FSummaryPending);
    RefreshAfterJob();
  }
}

// The drive is read again after a job without emptying the list: the job's outcome stays
// readable above what the refresh adds, in the outcome's colour.
void TMainWindow::RefreshAfterJob() {
  const TMessageColour colour = FMessageColour;
  FUpdateProg = true;
  UpdateDriveState();
  FUpdateProg = false;
  SetMessageColour(colour);
}

void TMainWindow::BurnerWriteDone(void*, uint8_t, bool writeFailed) {
  // The job's own error, taken before the drive is read again.
  std::string error;
  if (writeFailed)
    error = FMeasureError.empty() ? JobErrorText(FBurner) : FMeasureError;
  FMeasureError.clear();
  FProgressBurner->setValue(0);
  FTimerWrite.stop();
  SetBusyPointer(FSummaryPending);
  RefreshAfterJob();
  const QString elapsed = Q(ElapsedText(FWriteTag, 10));
  if (writeFailed) {
    AddMessage("Writing done with error! Elapsed time: " + elapsed + ".");
    AddMessage(Q(error));
    FBldISO = false;
    FBldISOTstWrt = false;
    SetMessageColour(TMessageColour::Red);
  } else if (!FBldISO) {
    AddMessage("Writing done. Elapsed time: " + elapsed + ".");
    SetMessageColour(TMessageColour::Maroon);
  }
  FPanelExecuted->clear();
  FPanelSpeed->clear();
  FBurnTargetIndex = FDriveIndex;
  FPanelAbort->setEnabled(false);
  FMenuAbortBurner->setEnabled(false);
  FBurner.SetTestWrite(false);
  ShowProgress(0);
  FWriteTag = 0;
  if (!FBldISO) {
    if (FOnlyISO) {
      FBurnProgress = false;
      emit JobEnded();
    } else {
      FinishDiscJob();
    }
    FISOFileName.clear();
    FOnlyISO = false;
    return;
  }
  UpdateImageSizeSummary(QString());
  FBurnProgress = false;
  StartBurn(FBldISOTstWrt);
  if (!FBurnProgress) emit JobEnded();
}

void TMainWindow::FinishDiscJob() {
  FPanelEjectBtns->setEnabled(true);
  SetBusyPointer(true);
  FBurner.FlushCache();
  // The drive gets a moment before the tray moves; the window keeps running meanwhile.
  QTimer::singleShot(int(FOptions.SettleMs * 10), this, [this] {
    FBurnProgress = false;
    ReadSelectedDrive();
    SelectChosenDrive();
    QTimer::singleShot(int(FOptions.SettleMs * 5), this, [this] {
      // As the Open drive button, but below the job's outcome instead of in place of it.
      OpenTray(FDriveLetter);
      AddMessage("The disc tray is ejected.");
      DisableActions();
      SetBusyPointer(FSummaryPending);
      emit JobEnded();
    });
  });
}

// ---- image files -----------------------------------------------------------------------------

bool TMainWindow::FileWritable(const QString& path) {
  const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  const bool alone = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return alone;
}

void TMainWindow::SpBtnBuildISOClick() {
  if (FBurnProgress) {
    FHooks.Message("Torvik is busy, please try again later.");
    return;
  }
  FISOFileName.clear();
  if (FShortCuts.isEmpty()) {
    FHooks.Message(
        "There is no file added to the BurnerFileList. Torvik is unable to build the ISO image file.");
    return;
  }
  ClearMessages();
  SetMessageColour(TMessageColour::Teal);
  const QString chosen = FHooks.ChooseImageToSave();
  if (chosen.isEmpty()) return;
  FISOFileName = Q(WithIsoExtension(chosen.toStdString()));
  if (QFileInfo::exists(FISOFileName)) {
    if (!FHooks.ConfirmOverwrite(
            QString("File name already exists! Do you want to overwrite the existing file \" %1 \"?")
                .arg(QFileInfo(FISOFileName).fileName())))
      return;
    if (!FileWritable(FISOFileName)) {
      FHooks.Message("The file is either read only file or it is used in another process. Torvik "
                     "can not overwrite this file.");
      return;
    }
  }
  FBurnTargetIndex = int(FBurnTargets.size()) - 1;
  FBurner.ClearAll();
  if (!FillLayout()) {
    RefuseJob("Building ISO image file failed. Error: Failed to add file to disc layout.");
    return;
  }
  FOnlyISO = true;
  FBurnProgress = true;
  Burn();
}

void TMainWindow::SpBtnBurnISOClick() {
  if (FBurnProgress) {
    FHooks.Message("Torvik is busy, please try again later.");
    return;
  }
  ReadSelectedDrive();
  ClearMessages();
  SetMessageColour(TMessageColour::Teal);
  if (!(SelectChosenDrive() && FBurner.TestUnitReady() && FBurner.DiscIs() != mtUNKNOWN &&
        FBurner.SessionsOnDisc() == 0)) {
    DiscMissingBoxes();
    return;
  }
  if (!FBurner.Writable()) {
    NotWritableLines();
    return;
  }
  if (FBurner.SessionsOnDisc() != 0) {
    UsedDiscLines();
    return;
  }
  const QString file = FHooks.ChooseImageToBurn();
  if (file.isEmpty() || !QFileInfo::exists(file)) return;
  UpdateImageSizeSummary(file);
  TSpaceCheck space;
  space.SizeMiB = FSizeISOMB;
  space.FreeBlocks = FBurner.FreeBlocksOnDisc();
  if (!(FSizeISOMB > 0)) {
    FHooks.Message("Invalid ISO file!");
    return;
  }
  if (FSizeISOMB >= 4701) {
    FHooks.Message("ISO file burning larger then 4701MB not supported.");
    return;
  }
  if (!EnoughSpace(space)) {
    FHooks.Message("Not enough of writable free disc space!");
    return;
  }
  if (!FBurner.BurnISOImage(file.toStdString())) {
    AddMessage("Writing ISO image to disc failed! Error: " + Q(JobErrorText(FBurner)));
    SetMessageColour(TMessageColour::Red);
    emit JobEnded();
    return;
  }
  SetBusyPointer(true);
  FBurnProgress = true;
  SetBurnerBarColour(kRed);
  FWriteTag = 0;
  FTimerWrite.start();
  DisableActions();
  FPanelEjectBtns->setEnabled(false);
  AddMessage("Writing ISO image to disc. Start.");
  SetMessageColour(TMessageColour::Teal);
}

// ---- erase -----------------------------------------------------------------------------------

void TMainWindow::SpBtnQuickEraseClick() {
  if (FBurnProgress) return;
  ReadSelectedDrive();
  SelectChosenDrive();
  if (!FBurner.TestUnitReady()) {
    ClearMessages();
    if (FDiscInDrv) {
      AddMessage("Drive is not ready!");
    } else {
      FHooks.Message("The selected disc drive is empty.");
      SpBtnOpenDriveClick();
    }
    SetMessageColour(TMessageColour::Red);
    return;
  }
  ClearMessages();
  SetMessageColour(TMessageColour::Teal);
  if (!FBurner.Erasable()) {
    AddMessage("Burner is unable to erase disc!");
    AddMessage(DriveItem() + " selected!");
    AddMessage("Disc in " + DriveItem() + " is not erasable!");
    SetMessageColour(TMessageColour::Red);
    return;
  }
  const bool quick = !FFullErase;
  if (!quick && !FHooks.Confirm("Do you want to full erase the disc? This could take an extended "
                                "period of time."))
    return;
  if (!FHooks.Confirm("All data will be erased from the disc. Do you want to continue?")) return;
  SetBusyPointer(true);
  FBurnProgress = true;
  DisableActions();
  FPanelEjectBtns->setEnabled(false);
  SetDriveSpeed();
  FProgressBurner->setRange(0, 100);
  FProgressBurner->setValue(0);
  SetBurnerBarColour(kBlue);
  AddMessage("Erasing disc. Start.");
  SetMessageColour(TMessageColour::Teal);
  if (!FBurner.EraseDisc(quick)) {
    AddMessage("Erasing disc failed. Error: " + Q(JobErrorText(FBurner)));
    SetMessageColour(TMessageColour::Red);
    FBurnProgress = false;
    SetBusyPointer(FSummaryPending);
    RefreshAfterJob();
    emit JobEnded();
    return;
  }
  FEraseTag = 0;
  FTimerErase.start();
}

void TMainWindow::SpBtnFullEraseClick() {
  FFullErase = true;
  SpBtnQuickEraseClick();
  FFullErase = false;
}

void TMainWindow::TimerEraseTimer() {
  // A running indicator, not a measure.
  const int next = FProgressBurner->value() + 1;
  FProgressBurner->setValue(next >= FProgressBurner->maximum() ? 0 : next);
  ++FEraseTag;
  SetBusyPointer(true);
  if (FEraseTag == 4) AppendStatusLine();
}

void TMainWindow::BurnerEraseDone(void*, uint8_t, bool eraseFailed) {
  const std::string error = eraseFailed ? JobErrorText(FBurner) : std::string();
  SetBusyPointer(FSummaryPending);
  const QString elapsed = Q(ElapsedText(FEraseTag, 20));
  if (eraseFailed) {
    AddMessage("Erasing done with error! Elapsed time: " + elapsed + ".");
    AddMessage(Q(error));
    AddMessage("Burner is ready.");
    SetMessageColour(TMessageColour::Red);
  } else {
    AddMessage("Erasing done. Elapsed time: " + elapsed + ".");
    AddMessage("Burner is ready.");
    SetMessageColour(TMessageColour::Maroon);
  }
  FPanelExecuted->clear();
  FPanelSpeed->clear();
  FEraseTag = 0;
  FPanelAbort->setEnabled(false);
  FMenuAbortBurner->setEnabled(false);
  FTimerErase.stop();
  FProgressBurner->setValue(0);
  RefreshAfterJob();
  FinishDiscJob();
}

// ---- verify ----------------------------------------------------------------------------------

void TMainWindow::SpBtnVerifyClick() {
  if (FBurnProgress || FTimerWrite.isActive()) return;
  ClearMessages();
  SetMessageColour(TMessageColour::Maroon);
  SetBurnerBarColour(kBlue);
  ReadSelectedDrive();
  SelectChosenDrive();
  LblMaxSpeed = QString::number(FBurner.ReadSpeed()) + " kB/s";
  FVerifyPaths = DiscPaths(FBurner.CDFiles);
  FVerifyChecked = 0;
  FVerifyFailures = 0;
  if (!FBurner.VerifyDisc(true, true)) {
    AddMessage("Verifying failed. Error: " + Q(JobErrorText(FBurner)));
    SetMessageColour(TMessageColour::Red);
    emit JobEnded();
    return;
  }
  DisableActions();
  FPanelAbort->setEnabled(true);
  FMenuAbortBurner->setEnabled(true);
  FPanelEjectBtns->setEnabled(false);
  FWriteTag = 0;
  FTimerWrite.start();
  SetBusyPointer(true);
}

void TMainWindow::BurnerVerifyDone(void*, uint8_t, int32_t fileId, bool failed) {
  if (fileId == -1) {
    // Files the verification never reached (an abort, a stop at the first mismatch) are not
    // known to be good.
    size_t total = 0;
    for (const auto& e : FBurner.CDFiles.Files)
      if (!e->Path.empty() && !e->Imported && !e->DirRecord) ++total;
    const bool anyFailed = failed || FVerifyFailures > 0 || FVerifyChecked < total;
    AddMessage(anyFailed ? "Verifying done, at least one file failed!"
                         : "Verifying done, all files okay.");
    SetMessageColour(TMessageColour::Maroon);
    FPanelAbort->setEnabled(false);
    FMenuAbortBurner->setEnabled(false);
    FMenuTestWriteEnabled = true;
    FMenuTestWrite->setEnabled(true);
    FTimerWrite.stop();
    RefreshAfterJob();
    SetBusyPointer(FSummaryPending);
  } else {
    ++FVerifyChecked;
    if (failed) ++FVerifyFailures;
    const QString path = size_t(fileId) < FVerifyPaths.size()
                             ? Q(FVerifyPaths[size_t(fileId)])
                             : QString::fromStdU16String(FBurner.FileName(fileId));
    AddMessage((failed ? "Verifying failed for " : "Verifying done for ") + path);
    SetMessageColour(TMessageColour::Maroon);
  }
  FPanelExecuted->clear();
  FPanelSpeed->clear();
  FProgressBurner->setValue(0);
  if (fileId == -1) emit JobEnded();
}

// ---- abort -----------------------------------------------------------------------------------

void TMainWindow::SpBtnAbortBurnClick() {
  if (FTimerErase.isActive()) return;  // an erase runs to its end
  SetMessageColour(TMessageColour::Red);
  // The size measuring has no job of the component's to stop; its end reports the abort.
  if (FBldISO && FBurnProgress) FMeasureError = "The operation was aborted.";
  FBurner.AbortOperation();
  FBurner.SetTestWrite(false);
  ResetBars();
  FBldISO = false;
  FBldISOTstWrt = false;
  FOnlyISO = false;
}

}  // namespace torvik::app
