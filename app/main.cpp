// torvik: the desktop application.
#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QTimer>
#include <QUrl>
#include <QMessageBox>
#include <string>

#include "MainWindow.h"
#include "emulator/VirtualDrive.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("torvik");
  QApplication::setApplicationVersion("1.2.1");

  QCommandLineParser parser;
  parser.setApplicationDescription("Burns files and ISO images to CD, DVD and BD.");
  parser.addHelpOption();
  parser.addVersionOption();
  QCommandLineOption virtualDrive(
      "virtual-drive", "Add the virtual drive kept in PATH (and PATH.state); may be repeated.",
      "PATH");
  parser.addOption(virtualDrive);
  QCommandLineOption screenshot(
      "screenshot", "Save a picture of the window to FILE once the burn list is summed, then quit.",
      "FILE");
  parser.addOption(screenshot);
  QCommandLineOption burnScreenshot(
      "screenshot-burning",
      "Burn the burn list once it is summed, save a picture of the window to FILE while the disc "
      "is written, then quit (the burn is aborted).",
      "FILE");
  parser.addOption(burnScreenshot);
  parser.addPositionalArgument("paths", "Files and folders to put into the burn list.", "[PATH...]");
  parser.process(app);

  torvik::app::TAppOptions options;
  for (const QString& path : parser.values(virtualDrive)) {
    // The device table would leave a drive out silently; a path the user named deserves the
    // reason.
    std::string why;
    if (!torvik::vdrive::VirtualDrive::Open(path.toStdString(), &why)) {
      QMessageBox::warning(nullptr, "Torvik",
                           "Cannot use the virtual drive: " + QString::fromStdString(why));
      continue;
    }
    options.VirtualDrives.push_back(path.toStdString());
  }
  torvik::app::TMainWindow window(options);
  window.show();
  QList<QUrl> paths;
  for (const QString& p : parser.positionalArguments())
    paths << QUrl::fromLocalFile(QFileInfo(p).absoluteFilePath());
  if (!paths.isEmpty()) window.DropUrls(paths);
  if (parser.isSet(screenshot)) {
    const QString file = parser.value(screenshot);
    auto shoot = [&window, file] {
      // Let the window lay itself out and paint before it is grabbed.
      QTimer::singleShot(500, &window, [&window, file] {
        const bool saved = window.grab().save(file);
        QApplication::exit(saved ? 0 : 1);
      });
    };
    if (window.SummaryPending())
      QObject::connect(&window, &torvik::app::TMainWindow::SummaryUpdated, &window, shoot);
    else
      shoot();
  }
  if (parser.isSet(burnScreenshot)) {
    const QString file = parser.value(burnScreenshot);
    auto* poll = new QTimer(&window);
    poll->setInterval(200);
    // Grabbed once a quarter of the disc is written, so that every display shows something.
    QObject::connect(poll, &QTimer::timeout, &window, [&window, poll, file] {
      const QString executed = window.ExecutedText();
      const qsizetype open = executed.lastIndexOf('(');
      if (!executed.startsWith("Executed: ") || open < 0 ||
          executed.mid(open + 1).chopped(2).toDouble() < 25)
        return;
      poll->stop();
      const bool saved = window.grab().save(file);
      QApplication::exit(saved ? 0 : 1);
    });
    auto burn = [&window, poll] {
      window.SpBtnBurnClick();
      poll->start();
    };
    if (window.SummaryPending())
      QObject::connect(&window, &torvik::app::TMainWindow::SummaryUpdated, &window, burn,
                       Qt::SingleShotConnection);
    else
      burn();
  }
  return QApplication::exec();
}
