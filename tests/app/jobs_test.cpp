// The window's jobs driven through their handlers on virtual drives: each runs to its end
// through the Qt event loop, and the disc or image is then read back by an independent reader.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>
#include <atomic>
#include <memory>

#include "AbortWaitDialog.h"
#include "MainWindow.h"
#include "burn/burn_test_support.h"
#include "common/scratch_dir.h"
#include "emulator/VirtualDrive.h"

// Lines in failure messages as text.
QT_BEGIN_NAMESPACE
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
QT_END_NAMESPACE

namespace torvik::app {
namespace {

namespace fs = std::filesystem;
using Files = std::map<std::string, std::vector<uint8_t>>;

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "test_app_jobs";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QApplication> app_;
};
const auto* const kQt = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

constexpr const char* kItem = "Optical drive  (vd0)";

class Jobs : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = torvik::testing::FreshScratchDir("appjobs");
    fs::create_directories(dir_ / "sys");
    fs::create_directories(dir_ / "cache");
    for (const auto& [rel, bytes] : test::MakeTree(dir_ / "src" / "tree", 7))
      tree_[rel] = bytes;  // a folder's contents land in the root
  }

  std::string Drive(const std::string& profile, uint32_t capacity = 0) {
    disc_ = dir_ / ("disc-" + profile);
    vdrive::CreateOptions options;
    options.capacity = capacity;
    options.config.longOpPolls = 0;
    std::string error;
    EXPECT_TRUE(vdrive::VirtualDrive::Create(disc_.string(), profile, options, &error)) << error;
    return disc_.string();
  }

  // One session written by the engine on its own, as another program would have.
  void BurnSession(bool finalize) {
    const fs::path source = dir_ / "earlier.txt";
    std::ofstream(source) << "an earlier session";
    TBrenvik b;
    b.Device.Setup.SysfsRoot = (dir_ / "sys").string();
    b.AddVirtualDrive(disc_.string());
    ASSERT_TRUE(b.InitializeASPI(false, "", ""));
    ASSERT_TRUE(b.SelectDevice(0));
    b.SetFinalizeDisc(finalize);
    ASSERT_TRUE(b.InsertFile("\\", source.string()));
    ASSERT_GT(b.Prepare(), 0u);
    TCompletionQueue queue(b);
    b.SetCompletionSink(&queue);
    bool failed = true;
    b.SetOnWriteDone([&](void*, uint8_t, bool f) { failed = f; });
    ASSERT_TRUE(b.Burn());
    queue.WaitAndDispatch();
    b.WaitForJob();
    b.SetCompletionSink(nullptr);
    ASSERT_FALSE(failed);
  }

  TMainWindow& Open() {
    TAppOptions o;
    o.VirtualDrives = drives_.empty() ? std::vector<std::string>{disc_.string()} : drives_;
    o.PropertiesPath = (dir_ / "config" / "TorvikProperties").string();
    o.TempDir = (dir_ / "cache").string();
    o.SysfsRoot = (dir_ / "sys").string();
    o.StartFolder = dir_.string();
    o.SettleMs = 0;
    o.StartupTimer = false;
    w_ = std::make_unique<TMainWindow>(o);
    TDialogHooks& h = w_->Hooks();
    h.Message = [this](const QString& text) { boxes_ << text; };
    h.OpenUrl = [](const QString&) {};
    h.ShowProperties = [] {};
    h.About = [] {};
    h.ConfirmAbort = [](const QString&) { return true; };
    h.WaitForAbort = [] {};
    h.Confirm = [this](const QString& text) {
      questions_ << text;
      return confirm_;
    };
    h.ConfirmOverwrite = [this](const QString& text) {
      questions_ << text;
      return overwrite_;
    };
    h.ChooseImageToSave = [this] { return saveAs_; };
    h.ChooseImageToBurn = [this] { return burnImage_; };
    auto& b = w_->Burner().Device.Setup;
    b.NotReadyPollMs = 0;
    b.RetryPollMs = 0;
    b.CloseLimitMs = 50;
    b.LongOperationLimitMs = 50;
    w_->show();
    return *w_;
  }

  void AddTree() {
    QSignalSpy summary(w_.get(), &TMainWindow::SummaryUpdated);
    w_->DropUrls({QUrl::fromLocalFile(QString::fromStdString((dir_ / "src" / "tree").string()))});
    if (w_->SummaryPending()) {
      ASSERT_TRUE(summary.wait(20000));
    }
  }

  // Runs a handler and, when it started a job, the event loop until the job has been handled;
  // false when a started job did not end once.
  bool Run(void (TMainWindow::*handler)()) {
    QSignalSpy ended(w_.get(), &TMainWindow::JobEnded);
    (w_.get()->*handler)();
    const bool running = w_->BurnProgress() || w_->Writing() || w_->Erasing();
    if (ended.count() == 0 && running && !ended.wait(30000)) return false;
    QCoreApplication::processEvents();
    return running ? ended.count() == 1 : ended.count() <= 1;
  }

  vdrive::MediumState State() {
    std::string error;
    auto v = vdrive::VirtualDrive::Open(disc_.string(), &error);
    EXPECT_TRUE(v) << error;
    return v ? v->State() : vdrive::MediumState{};
  }

  Files ReadBack(const std::string& what) {
    return test::ExtractWithXorriso(disc_, test::LastSessionStart(State()), dir_ / what);
  }

  fs::path dir_, disc_;
  std::vector<std::string> drives_;
  Files tree_;
  std::unique_ptr<TMainWindow> w_;
  QStringList boxes_, questions_;
  bool confirm_ = true, overwrite_ = true;
  QString saveAs_, burnImage_;
};

// Whether `lines` holds lines starting with each of `want`, in this order.
bool InOrder(const QStringList& lines, const QStringList& want) {
  qsizetype at = 0;
  for (const QString& w : want) {
    while (at < lines.size() && !lines[at].startsWith(w)) ++at;
    if (at++ == lines.size()) return false;
  }
  return true;
}

enum class Before { Blank, OpenSession, ClosedSession, WriteFault, LockedSource };
enum class After { Tree, Nothing, Earlier, Unread };

TEST_F(Jobs, EachJobRunsToItsEndWithItsLinesAndTheDiscReadsBack) {
  const QStringList burned = {"Getting required free disc space.",
                              "Prepare for writing. Please wait.",
                              "Writable free disc space: ",
                              "Requied writable free disc space: 1.06MB",
                              "Writing to disc. Start.",
                              "Writing done. Elapsed time: 0min 0s.",
                              "The disc tray is ejected."};
  const QStringList erased = {"Erasing disc. Start.", "Erasing done. Elapsed time: 0min 0s.",
                              "Burner is ready.", "The disc tray is ejected."};
  const QString used = QString("The disc in ") + kItem +
                       " is not empty. Please insert a writable disc and try again.";
  const auto burn = &TMainWindow::SpBtnBurnClick;
  const auto quick = &TMainWindow::SpBtnQuickEraseClick;
  const auto full = &TMainWindow::SpBtnFullEraseClick;
  const struct {
    const char* name;
    const char* profile;
    uint32_t capacity;
    Before before;
    void (TMainWindow::*handler)();
    QStringList boxes, lines;
    TMessageColour colour;
    After after;
  } cases[] = {
      {"burn DVD+R", "dvd+r", 0, Before::Blank, burn, {}, burned, TMessageColour::Maroon, After::Tree},
      {"burn CD-R", "cd-r", 0, Before::Blank, burn, {}, burned, TMessageColour::Maroon, After::Tree},
      {"test write", "cd-r", 0, Before::Blank, &TMainWindow::SpBtnTestWrtClick, {}, burned,
       TMessageColour::Maroon, After::Nothing},
      {"used disc", "cd-r", 0, Before::OpenSession, burn, {used}, {"The disc tray is ejected."},
       TMessageColour::Red, After::Earlier},
      {"image on used disc", "cd-r", 0, Before::OpenSession, &TMainWindow::SpBtnBurnISOClick, {used},
       {"The disc tray is ejected."}, TMessageColour::Red, After::Earlier},
      {"no room", "dvd+r", 500, Before::Blank, burn, {"Not enough of writable free disc space!"},
       {"Requied writable free disc space: 1.06MB"}, TMessageColour::Teal, After::Nothing},
      {"write error", "dvd+r", 0, Before::WriteFault, burn, {},
       {"Writing to disc. Start.", "Writing done with error! Elapsed time: 0min 0s.",
        "Hardware Error 3072. (03/0C/00 write error)", "The disc tray is ejected."},
       TMessageColour::Red, After::Unread},
      {"unreadable source", "dvd+r", 0, Before::LockedSource, burn, {},
       {"Writing done with error! Elapsed time: 0min 0s.", "Cannot read ",
        "The disc tray is ejected."},
       TMessageColour::Red, After::Nothing},
      {"verify what this window did not burn", "cd-r", 0, Before::ClosedSession,
       &TMainWindow::SpBtnVerifyClick, {}, {"Verifying failed. Error: "}, TMessageColour::Red,
       After::Earlier},
      {"erase a write-once disc", "dvd+r", 0, Before::OpenSession, quick, {},
       {"Burner is unable to erase disc!", QString(kItem) + " selected!",
        QString("Disc in ") + kItem + " is not erasable!"},
       TMessageColour::Red, After::Earlier},
      {"quick erase CD-RW", "cd-rw", 20000, Before::ClosedSession, quick, {}, erased,
       TMessageColour::Maroon, After::Nothing},
      {"full erase CD-RW", "cd-rw", 20000, Before::ClosedSession, full, {}, erased,
       TMessageColour::Maroon, After::Nothing},
      // A full erase of a DVD+RW overwrites the profile's whole capacity, past the end of a
      // shortened medium: only the quick one here.
      {"quick erase DVD+RW", "dvd+rw", 20000, Before::ClosedSession, quick, {}, erased,
       TMessageColour::Maroon, After::Nothing},
      {"quick erase BD-RE", "bd-re", 20000, Before::ClosedSession, quick, {}, erased,
       TMessageColour::Maroon, After::Nothing},
      {"full erase BD-RE", "bd-re", 20000, Before::ClosedSession, full, {}, erased,
       TMessageColour::Maroon, After::Nothing},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.before == Before::LockedSource && ::geteuid() == 0) continue;  // root reads anything
    Drive(c.profile, c.capacity);
    if (c.before == Before::OpenSession || c.before == Before::ClosedSession)
      BurnSession(c.before == Before::ClosedSession);
    const Files earlier = ReadBack(std::string(c.name) + "-before");
    if (c.before == Before::WriteFault) {
      std::string error;
      auto v = vdrive::VirtualDrive::Open(disc_.string(), &error);
      ASSERT_TRUE(v && v->Update([](vdrive::MediumState& m) { m.faults.writeErrorLba = 100; }, &error));
    }
    TMainWindow& w = Open();
    AddTree();
    if (c.before == Before::LockedSource)
      fs::permissions(dir_ / "src" / "tree" / "docs" / "a.bin", fs::perms::none);
    boxes_.clear();
    burnImage_ = QString::fromStdString((dir_ / "any.iso").string());
    ASSERT_TRUE(Run(c.handler));
    EXPECT_EQ(boxes_, c.boxes);
    EXPECT_TRUE(InOrder(w.Messages(), c.lines)) << w.Messages().join("|").toStdString();
    EXPECT_EQ(w.MessageColour(), c.colour);
    EXPECT_FALSE(w.BurnProgress());
    EXPECT_FALSE(w.Burner().TestWrite());
    const Files after = ReadBack(std::string(c.name) + "-after");
    if (c.after != After::Unread) {
      EXPECT_EQ(after, c.after == After::Tree ? tree_ : c.after == After::Earlier ? earlier : Files());
    }
    w_.reset();
    fs::permissions(dir_ / "src" / "tree" / "docs" / "a.bin", fs::perms::owner_all);
  }
}

TEST_F(Jobs, BuildAnImageAskBeforeOverwritingAndBurnIt) {
  Drive("dvd+r");
  TMainWindow& w = Open();
  AddTree();
  saveAs_ = QString::fromStdString((dir_ / "backup").string());
  const fs::path image = dir_ / "backup.iso";
  ASSERT_TRUE(Run(&TMainWindow::SpBtnBuildISOClick));
  QStringList lines = w.Messages();
  ASSERT_FALSE(lines.isEmpty());
  EXPECT_EQ(lines.first(), "Building ISO image file. Start.");
  EXPECT_TRUE(lines.contains("Writing done. Elapsed time: 0min 0s.")) << lines.join("|").toStdString();
  EXPECT_FALSE(lines.contains("The disc tray is ejected."));
  EXPECT_EQ(test::ExtractWithBsdtar(image, dir_ / "image-out"), tree_);

  // Declined: nothing starts and the file stays.
  const auto before = fs::last_write_time(image);
  overwrite_ = false;
  w.SpBtnBuildISOClick();
  EXPECT_EQ(questions_, QStringList({"File name already exists! Do you want to overwrite the "
                                     "existing file \" backup.iso \"?"}));
  EXPECT_FALSE(w.BurnProgress());
  EXPECT_EQ(fs::last_write_time(image), before);
  // Accepted: built again with what the folder holds now.
  overwrite_ = true;
  test::WriteFile(dir_ / "src" / "tree" / "added.txt", {'n', 'e', 'w'});
  tree_["added.txt"] = {'n', 'e', 'w'};
  ASSERT_TRUE(Run(&TMainWindow::SpBtnBuildISOClick));
  EXPECT_EQ(test::ExtractWithBsdtar(image, dir_ / "image-out2"), tree_);

  burnImage_ = QString::fromStdString(image.string());
  ASSERT_TRUE(Run(&TMainWindow::SpBtnBurnISOClick));
  lines = w.Messages();
  EXPECT_TRUE(lines.contains("Writing ISO image to disc. Start.")) << lines.join("|").toStdString();
  EXPECT_TRUE(lines.contains("Writing done. Elapsed time: 0min 0s."));
  EXPECT_EQ(lines.last(), "The disc tray is ejected.");
  EXPECT_EQ(ReadBack("burned-image"), tree_);
}

TEST_F(Jobs, VerifyNamesTheFileOfACorruptedSector) {
  for (const bool corrupt : {false, true}) {
    SCOPED_TRACE(corrupt ? "corrupted" : "good");
    Drive("dvd+r");
    TMainWindow& w = Open();
    AddTree();
    ASSERT_TRUE(Run(&TMainWindow::SpBtnBurnClick));
    if (corrupt) {
      // A byte in the middle of docs/deep/b.bin, found by its contents.
      std::vector<uint8_t> disc = test::ReadFile(disc_);
      const std::vector<uint8_t>& file = tree_.at("docs/deep/b.bin");
      auto at = std::search(disc.begin(), disc.end(), file.begin(), file.begin() + 4096);
      ASSERT_NE(at, disc.end());
      at[150000] ^= 0xFF;
      test::WriteFile(disc_, disc);
    }
    w.SpBtnCloseDriveClick();
    ASSERT_TRUE(Run(&TMainWindow::SpBtnVerifyClick));
    const QStringList lines = w.Messages();
    EXPECT_EQ(lines.contains("Verifying failed for /docs/deep/b.bin"), corrupt)
        << lines.join("|").toStdString();
    // Every file is reported; a mismatch stops the check there.
    EXPECT_EQ(lines.contains("Verifying done for /readme.txt"), !corrupt);
    EXPECT_TRUE(lines.contains(corrupt ? "Verifying done, at least one file failed!"
                                       : "Verifying done, all files okay."));
    w_.reset();
  }
}

// A write held at its third WRITE: the progress lines, then the window closed, which aborts
// the write, waits in the abort dialog for the one completion and leaves the disc closed.
TEST_F(Jobs, ProgressWhileWritingThenClosingTheWindowAborts) {
  Drive("dvd+r");
  TMainWindow& w = Open();
  AddTree();
  std::atomic<int> writes{0};
  std::atomic<bool> release{false};
  w.Burner().Device.Setup.Tap = [&](TSRB_ExecSCSICmd& srb, const TSendFunction& forward) {
    if (srb.CDB[0] == 0x2A && ++writes == 3) release.wait(false);
    return forward(srb);
  };
  int waited = 0;
  w.Hooks().WaitForAbort = [&] {
    release = true;
    release.notify_all();
    TAbortWaitDialog wait([&] { return w.BurnProgress(); }, &w);
    wait.Run();
    ++waited;
  };
  QSignalSpy ended(&w, &TMainWindow::JobEnded);
  w.SpBtnBurnClick();
  ASSERT_TRUE(QTest::qWaitFor([&] { return writes.load() >= 3; }, 30000));
  w.TimerWriteTimer();
  const QString executed = w.ExecutedText();
  EXPECT_TRUE(executed.startsWith("Executed: ") && executed.contains("MB of 1.06 MB (") &&
              executed.endsWith("%)"))
      << executed.toStdString();
  EXPECT_TRUE(w.SpeedLine().startsWith("ElapsedTime: 0min 0s, Speed: ")) << w.SpeedLine().toStdString();
  EXPECT_EQ(w.Messages().last(), "Writing.");
  EXPECT_FALSE(w.Enabling().PanelAbort);  // a disc being written is not aborted from the window
  w.close();
  EXPECT_EQ(waited, 1);
  EXPECT_EQ(ended.count(), 1);
  EXPECT_FALSE(w.BurnProgress());
  EXPECT_EQ(w.Messages().count("Writing done with error! Elapsed time: 0min 0s."), 1)
      << w.Messages().join("|").toStdString();
  w_.reset();
  for (const auto& t : State().tracks) EXPECT_NE(t.state, vdrive::TrackState::Reserved);
}

// The burn goes to the drive chosen in the list, found by its id, and to no other.
TEST_F(Jobs, TheChosenOfTwoDrivesIsWritten) {
  const std::string first = Drive("dvd+r");
  const std::string second = Drive("cd-r");
  drives_ = {first, second};
  TMainWindow& w = Open();
  w.SetDriveIndex(1);
  w.CBoxCDChange();
  AddTree();
  ASSERT_TRUE(Run(&TMainWindow::SpBtnBurnClick));
  EXPECT_EQ(ReadBack("second"), tree_);
  EXPECT_TRUE(test::ExtractWithXorriso(first, 0, dir_ / "first").empty());
}

TEST_F(Jobs, AbortWhileTheSizeIsMeasuredWritesNothing) {
  Drive("dvd+r");
  TMainWindow& w = Open();
  AddTree();
  QSignalSpy ended(&w, &TMainWindow::JobEnded);
  w.SpBtnBurnClick();
  EXPECT_TRUE(w.Enabling().PanelAbort);
  w.SpBtnAbortBurnClick();
  ASSERT_TRUE(ended.wait(30000));
  EXPECT_TRUE(InOrder(w.Messages(), {"Writing done with error! Elapsed time: 0min 0s.",
                                     "The operation was aborted.", "The disc tray is ejected."}))
      << w.Messages().join("|").toStdString();
  EXPECT_TRUE(ReadBack("none").empty());
}

TEST_F(Jobs, AbortButtonStopsVerifyingWithAFailedResult) {
  Drive("dvd+r");
  TMainWindow& w = Open();
  AddTree();
  ASSERT_TRUE(Run(&TMainWindow::SpBtnBurnClick));
  w.SpBtnCloseDriveClick();
  std::atomic<int> reads{0};
  std::atomic<bool> release{false};
  w.Burner().Device.Setup.Tap = [&](TSRB_ExecSCSICmd& srb, const TSendFunction& forward) {
    if ((srb.CDB[0] == 0x28 || srb.CDB[0] == 0xA8) && ++reads == 1) release.wait(false);
    return forward(srb);
  };
  QSignalSpy ended(&w, &TMainWindow::JobEnded);
  w.SpBtnVerifyClick();
  ASSERT_TRUE(QTest::qWaitFor([&] { return reads.load() >= 1; }, 30000));
  EXPECT_TRUE(w.Enabling().PanelAbort);
  EXPECT_TRUE(w.Enabling().MenuAbortBurner);
  w.SpBtnAbortBurnClick();
  release = true;
  release.notify_all();
  ASSERT_TRUE(ended.wait(30000));
  const QStringList lines = w.Messages();
  EXPECT_EQ(lines.count("Verifying done, at least one file failed!"), 1) << lines.join("|").toStdString();
  EXPECT_FALSE(lines.contains("Verifying done, all files okay."));
  EXPECT_FALSE(w.Enabling().PanelAbort);
  EXPECT_FALSE(w.Writing());
}

}  // namespace
}  // namespace torvik::app
