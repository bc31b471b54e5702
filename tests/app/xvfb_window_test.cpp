// The program's window on a real X server (Xvfb), with Qt's own texts in Chinese as the program
// has them: shown, a recovery chosen and run through the real menus, dialogs and message boxes,
// then closed; and a folder of recordings as thumbnails. With KORVID_SCREENSHOTS set to a folder
// it also saves what the screen shows idle, in the middle of the run and after it, a message box
// and the thumbnails.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QScreen>
#include <QStackedWidget>
#include <QSignalSpy>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

#include "app/preview_pane.h"
#include "app/recovered_folder_model.h"
#include "app/qt_translations.h"
#include "app/path_text.h"
#include "app/thumbnail_looks.h"
#include "engine/report/file_report.h"
#include "app_test_support.h"
#include "sources/open_source.h"

namespace korvid::app::testing {
namespace {

// Answers the modal dialogs that open, one after another, with the given actions; a box that no
// action is left for is a failure and is closed so that the test goes on.
class ModalAnswers : public QObject {
 public:
  using Answer = std::function<void(QWidget*)>;
  explicit ModalAnswers(std::vector<Answer> answers) : answers_(std::move(answers)) {
    timer_.setInterval(50);
    connect(&timer_, &QTimer::timeout, this, [this] { Poll(); });
    timer_.start();
  }
  bool AllUsed() const { return used_ == answers_.size(); }
  const QStringList& Unexpected() const { return unexpected_; }

 private:
  void Poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr) last_ = nullptr;
    if (modal == nullptr) return;
    if (modal == last_) {
      // An answer that failed leaves its dialog open; close it so that the test can end.
      if (answered_.elapsed() > 5000) {
        unexpected_ << QStringLiteral("still open: ") + modal->windowTitle();
        static_cast<QDialog*>(modal)->reject();
      }
      return;
    }
    last_ = modal;
    answered_.start();
    if (used_ < answers_.size()) {
      answers_[used_++](modal);
      return;
    }
    const auto* box = qobject_cast<QMessageBox*>(modal);
    unexpected_ << (box != nullptr ? box->text() : modal->metaObject()->className());
    static_cast<QDialog*>(modal)->reject();
  }

  QTimer timer_;
  std::vector<Answer> answers_;
  size_t used_ = 0;
  QPointer<QWidget> last_;
  QElapsedTimer answered_;
  QStringList unexpected_;
};

class XvfbWindowTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir work;

  static void Screenshot(const QWidget& window, const QString& name) {
    const QString folder = qEnvironmentVariable("KORVID_SCREENSHOTS");
    if (folder.isEmpty()) return;
    QApplication::processEvents();
    QTest::qWait(300);
    const QRect frame = window.frameGeometry();
    const QPixmap shot = window.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    QVERIFY(shot.save(QDir(folder).filePath(name)));
  }

  static void Run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    QVERIFY2(process.waitForFinished(60000) && process.exitCode() == 0,
             qPrintable(program + QStringLiteral(": ") + QString::fromLocal8Bit(process.readAll())));
  }

  // Presses `button` at `at`, which opens `menu` and waits in it, and picks the entry `name`.
  static void ChooseFromMenu(QToolButton* button, QPoint at, QMenu* menu, const QString& name) {
    auto* poll = new QTimer(menu);
    poll->setInterval(50);
    connect(poll, &QTimer::timeout, menu, [menu, name, poll] {
      QAction* entry = menu->findChild<QAction*>(name);
      if (!menu->isVisible() || entry == nullptr) return;
      poll->stop();
      poll->deleteLater();
      QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(entry).center());
    });
    poll->start();
    QTest::mouseClick(button, Qt::LeftButton, {}, at);
  }

  // Answers a file dialog with `path`, chosen as a user would: in the name field, which must not
  // have the focus for it.
  static ModalAnswers::Answer ChooseFile(const QString& path) {
    return [path](QWidget* modal) {
      auto* dialog = qobject_cast<QFileDialog*>(modal);
      QVERIFY(dialog != nullptr);
      auto* name = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
      QVERIFY(name != nullptr);
      name->clearFocus();
      dialog->selectFile(path);
      QTRY_COMPARE(dialog->selectedFiles(), QStringList{path});
      static_cast<QDialog*>(dialog)->accept();
    };
  }

  static ModalAnswers::Answer ChooseFolder(const QString& path) {
    return [path](QWidget* modal) {
      auto* dialog = qobject_cast<QFileDialog*>(modal);
      QVERIFY(dialog != nullptr);
      QCOMPARE(dialog->windowTitle(), QStringLiteral("选择保存路径: "));
      dialog->setDirectory(path);
      static_cast<QDialog*>(dialog)->accept();
    };
  }

  // Source, output folder and sample, chosen through the toolbar; the dialogs they open are
  // answered by the test's ModalAnswers, in that order.
  static void ChooseInputs(TfrmMain& window, const QString& imagePath, const QString& outFolder) {
    // The source menu opens on a click anywhere on RecBtn.
    ChooseFromMenu(window.RecBtn, QPoint(10, 10), window.pop, QStringLiteral("Openimage"));
    QTRY_COMPARE(window.Source->text(), imagePath);
    QTest::mouseClick(window.SaveBtn, Qt::LeftButton);
    QTRY_COMPARE(window.Edit1->text(), outFolder);
    QTest::mouseClick(window.BtnSelectAll, Qt::LeftButton);
    QTRY_VERIFY(!window.SampleCachePath.isEmpty());
  }

 private slots:
  void initTestCase() { QVERIFY(InstallQtTranslations(*qApp)); }

  // "恢复" before a source is chosen: the program's plain message, with its OK button in Chinese.
  void messageBoxForAMissingSource() {
    RealWindow real;
    TfrmMain& window = real.window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    ModalAnswers answers({[](QWidget* modal) {
      auto* box = qobject_cast<QMessageBox*>(modal);
      QVERIFY(box != nullptr);
      QCOMPARE(box->text(), QStringLiteral("请选择恢复目标!"));
      QCOMPARE(box->button(QMessageBox::Ok)->text(), QStringLiteral("确定"));
      Screenshot(*box, QStringLiteral("korvid-message-box.png"));
      box->button(QMessageBox::Ok)->click();
    }});
    QTest::mouseClick(window.RunBtn, Qt::LeftButton, {}, QPoint(15, 20));
    QVERIFY(answers.AllUsed());
    QCOMPARE(answers.Unexpected(), QStringList());
    QVERIFY(!window.Running());
  }

  void recoveryThroughTheRealWindow() {
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
    TestImage image(40 * Chunk);
    for (int chunk : {0, 4, 9, 13, 17, 26, 31, 38}) image.PutChain(chunk * Chunk + 2048, 4 + chunk % 5, 9000);
    const QString imagePath = work.filePath(QStringLiteral("dvr-card.img"));
    const QString samplePath = work.filePath(QStringLiteral("ch01.avi"));
    const QString outFolder = work.filePath(QStringLiteral("recovered"));
    QVERIFY(QDir().mkpath(outFolder));
    image.Write(imagePath);
    WriteSample(samplePath);

    ui::QtMessageBoxes boxes;
    ui::DesktopShell shell;
    QTemporaryDir cache;
    auto gate = std::make_shared<Gate>(17 * Chunk);
    TfrmMain window({.Boxes = boxes,
                     .Shell = shell,
                     .ExecutablePath = QApplication::applicationFilePath(),
                     .TickCount = 1234,  // the designed theme
                     .OpenSource = GatedOpener(gate),
                     .CacheFolder = (cache.path() + QStringLiteral("/Cache")).toStdString()});
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(window.Tray != nullptr);
    Screenshot(window, QStringLiteral("korvid-idle.png"));

    const auto pressOk = [](QWidget* modal) {
      auto* box = qobject_cast<QMessageBox*>(modal);
      QVERIFY(box != nullptr);
      QVERIFY2(box->windowTitle() == QStringLiteral("暂停"), qPrintable(box->text()));
      QCOMPARE(box->text(), QStringLiteral("是否继续？"));
      box->button(QMessageBox::Ok)->click();
    };
    ModalAnswers answers({ChooseFile(imagePath), ChooseFolder(outFolder), ChooseFile(samplePath), pressOk});

    ChooseInputs(window, imagePath, outFolder);

    // The arrow part of the split button offers the AVI modes and the deep item, unticked.
    auto* shown = new QTimer(window.PopupMenu2);
    shown->setInterval(50);
    connect(shown, &QTimer::timeout, window.PopupMenu2, [&window, shown] {
      if (!window.PopupMenu2->isVisible()) return;
      shown->stop();
      Screenshot(window, QStringLiteral("korvid-run-menu.png"));
      window.PopupMenu2->close();
    });
    shown->start();
    QTest::mouseClick(window.RunBtn, Qt::LeftButton, {}, QPoint(window.RunBtn->width() - 5, 20));
    QTRY_VERIFY(!shown->isActive());
    QVERIFY(!window.DeepRecovery->isChecked());
    QVERIFY(!window.Running());

    // "全盘恢复" from the arrow part of the split button.
    QSignalSpy ended(&window, &TfrmMain::RunEnded);
    ChooseFromMenu(window.RunBtn, QPoint(window.RunBtn->width() - 5, 20), window.PopupMenu2, QStringLiteral("N9"));
    QTRY_VERIFY(window.Running());
    QTRY_VERIFY(window.gg->value() >= 16 * Chunk / 1024);
    QTRY_VERIFY(window.SegLabel->text() != QStringLiteral("发现碎片:"));
    QVERIFY(!window.RunBtn->isEnabled());
    // The once-a-second timer estimates from the gauge: 4096 of 10240 KiB after its first tick.
    QTRY_COMPARE_WITH_TIMEOUT(window.TimeLabel->text(), QStringLiteral("剩余时间: 0 : 3"), 5000);
    Screenshot(window, QStringLiteral("korvid-running.png"));

    QTest::mouseClick(window.PauseBtn, Qt::LeftButton);
    gate->MoveTo(INT64_MAX);
    QVERIFY(ended.wait(20000));
    QVERIFY(answers.AllUsed());
    QCOMPARE(answers.Unexpected(), QStringList());
    QCOMPARE(window.SegLabel->text(), QStringLiteral("碎片: %1").arg(image.Records()));
    for (size_t i = 0; i < image.chains.size(); ++i) {
      const QString file = QDir(outFolder).filePath(QStringLiteral("%1.AVI").arg(i + 1));
      QCOMPARE(ReadBytes(file), Concat(SampleHead(), image.Slice(image.chains[i])));
    }
    QVERIFY(window.ScanLog->toPlainText().contains(QStringLiteral("写出文件 %1 个").arg(image.chains.size())));
    // The files and the run's list of them, whose lines fill the view's columns before the picture is taken.
    QTRY_COMPARE(window.ShelllistModel->rowCount(window.Shelllist->rootIndex()), static_cast<int>(image.chains.size()) + 1);
    QTRY_VERIFY(!window.ShelllistModel->index(QDir(outFolder).filePath(QStringLiteral("1.AVI")))
                     .siblingAtColumn(RecoveredFolderModel::Frames).data().toString().isEmpty());
    Screenshot(window, QStringLiteral("korvid-done.png"));

    QTest::mouseClick(window.ExitBtn, Qt::LeftButton);
    QTRY_VERIFY(!window.isVisible());
  }

  // "恢复" with an MP4 sample on a FAT32 card whose MP4 recordings were deleted, as a dashcam's.
  void containerRecoveryWithAnMp4Sample() {
    const auto record = [&](const QString& name, const QString& source, int frequency) {
      const QString path = work.filePath(name);
      Run(QStringLiteral("ffmpeg"), {"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", source + "=size=320x240:rate=25",
                                     "-f", "lavfi", "-i", QStringLiteral("sine=frequency=%1").arg(frequency), "-t", "3",
                                     "-c:v", "libx264", "-c:a", "aac", path});
      return path;
    };
    const QStringList clips = {record(QStringLiteral("FRONT0001.MP4"), QStringLiteral("testsrc"), 300),
                               record(QStringLiteral("FRONT0002.MP4"), QStringLiteral("testsrc2"), 500)};
    const QString samplePath = record(QStringLiteral("sample.mp4"), QStringLiteral("mandelbrot"), 700);
    const QString imagePath = work.filePath(QStringLiteral("dashcam.img"));
    Run(QStringLiteral("mkfs.fat"), {"-F", "32", "-C", imagePath, "65536"});
    for (const QString& clip : clips) Run(QStringLiteral("mcopy"), {"-i", imagePath, clip, "::"});
    Run(QStringLiteral("mdel"), {"-i", imagePath, "::FRONT0001.MP4", "::FRONT0002.MP4"});
    const QString outFolder = work.filePath(QStringLiteral("dashcam-recovered"));
    QVERIFY(QDir().mkpath(outFolder));

    RealWindow real;
    TfrmMain& window = real.window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // The AVI modes refuse the MP4 sample and say what to use instead.
    const auto refusal = [](QWidget* modal) {
      auto* box = qobject_cast<QMessageBox*>(modal);
      QVERIFY(box != nullptr);
      QVERIFY2(box->text().startsWith(QStringLiteral("全盘恢复和恢复剩余空间恢复AVI录像")), qPrintable(box->text()));
      box->button(QMessageBox::Ok)->click();
    };
    ModalAnswers answers({ChooseFile(imagePath), ChooseFolder(outFolder), ChooseFile(samplePath), refusal});
    ChooseInputs(window, imagePath, outFolder);
    ChooseFromMenu(window.RunBtn, QPoint(window.RunBtn->width() - 5, 20), window.PopupMenu2, QStringLiteral("N9"));
    QTRY_VERIFY(answers.AllUsed());
    QTest::qWait(200);
    QVERIFY(!window.Running());

    // The main part of the split button: "恢复".
    QSignalSpy ended(&window, &TfrmMain::RunEnded);
    QTest::mouseClick(window.RunBtn, Qt::LeftButton, {}, QPoint(15, 20));
    QVERIFY(ended.wait(60000));
    QCOMPARE(answers.Unexpected(), QStringList());
    for (int i = 0; i < clips.size(); ++i) {
      QCOMPARE(ReadBytes(QDir(outFolder).filePath(QStringLiteral("%1.MP4").arg(i + 1))), ReadBytes(clips[i]));
    }
    QVERIFY2(window.ScanLog->toPlainText().contains(QStringLiteral("其中 2 个 MP4")),
             qPrintable(window.ScanLog->toPlainText()));
    QTRY_COMPARE(window.ShelllistModel->rowCount(window.Shelllist->rootIndex()), 3);
    Screenshot(window, QStringLiteral("korvid-container-done.png"));
    QTest::mouseClick(window.ExitBtn, Qt::LeftButton);
    QTRY_VERIFY(!window.isVisible());
  }

  // A folder of recordings as thumbnails, one of them in the preview pane, with the pictures the
  // window makes; a file that is no recording shows the placeholder.
  void thumbnailsOfRecordings() {
    const QString folder = work.filePath(QStringLiteral("thumbnails"));
    QVERIFY(QDir().mkpath(folder));
    const QStringList sources = {QStringLiteral("testsrc"), QStringLiteral("testsrc2"), QStringLiteral("smptebars"),
                                 QStringLiteral("mandelbrot"), QStringLiteral("rgbtestsrc"), QStringLiteral("yuvtestsrc")};
    // MJPEG and MPEG-4 part 2 in AVI, H.264 in MP4, by turns; a run's list names them as a DVR would.
    const QStringList codecs = {QStringLiteral("mjpeg"), QStringLiteral("mpeg4"), QStringLiteral("libx264")};
    std::vector<WrittenFile> listed;
    for (int i = 0; i < sources.size(); ++i) {
      const bool avi = i % 3 != 2;
      const QString path = QStringLiteral("%1/%2.%3").arg(folder).arg(i + 1).arg(avi ? "AVI" : "MP4");
      Run(QStringLiteral("ffmpeg"), {"-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", sources[i] + "=size=320x240:rate=25",
                                     "-t", "1", "-c:v", codecs[i % 3], path});
      WrittenFile& file = listed.emplace_back();
      file.Path = ToPath(path);
      file.Complete = true;
      file.Kind = avi ? "AVI" : "MP4";
      file.SourceStart = 1048576LL * (i + 1);
      file.SourceEnd = file.SourceStart + QFileInfo(path).size();
      file.FramesPerStream = {25};
      file.DurationSeconds = 1;
      file.Entry = SourceEntry{};
      file.Entry->Name = (QStringLiteral("CH0%1_20261208_15%2").arg(i % 2 + 1).arg(i) + QStringLiteral("000.") +
                          (avi ? QStringLiteral("AVI") : QStringLiteral("MP4"))).toStdString();
      file.RecordingTime = 1796742000 + 600 * i;  // 2026-12-08 15:00:00 UTC, then every ten minutes
    }
    AppendFileReport(ToPath(folder), listed, {});
    const QString broken = QStringLiteral("%1/%2.AVI").arg(folder).arg(sources.size() + 1);
    WriteSample(broken, false);

    RealWindow real;
    TfrmMain& window = real.window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    ModalAnswers answers({ChooseFolder(folder)});
    QTest::mouseClick(window.SaveBtn, Qt::LeftButton);
    QTRY_VERIFY(answers.AllUsed());
    QTest::mouseClick(window.BtnViewMode, Qt::LeftButton);
    QCOMPARE(window.FolderViews->currentWidget(), window.ShelllistIcons);

    const QAbstractItemModel* icons = window.ShelllistIcons->model();
    QTRY_COMPARE(icons->rowCount(window.ShelllistIcons->rootIndex()), sources.size() + 2);  // and the list
    const QImage loading = LoadingPicture(window.ShelllistIcons->iconSize());
    const auto item = [&](int row) { return icons->index(row, 0, window.ShelllistIcons->rootIndex()); };
    const auto picture = [&](int row) { return item(row).data(Qt::DecorationRole).value<QPixmap>().toImage(); };
    for (int row = 0; row < sources.size() + 1; ++row) QTRY_VERIFY_WITH_TIMEOUT(picture(row) != loading, 20000);
    const QImage placeholder = PlaceholderPicture(window.ShelllistIcons->iconSize());
    for (int row = 0; row < sources.size(); ++row) QVERIFY2(picture(row) != placeholder, qPrintable(item(row).data().toString()));
    const int brokenRow = static_cast<int>(sources.size());
    QCOMPARE(item(brokenRow).data().toString(), QFileInfo(broken).fileName());
    QCOMPARE(picture(brokenRow), placeholder);

    window.ShelllistIcons->setCurrentIndex(item(1));
    QCOMPARE(window.Preview->FileName->text(), QStringLiteral("2.AVI"));
    QTRY_VERIFY(window.Preview->Shown() != std::optional(ThumbnailStore::Look::Loading));
    QCOMPARE(answers.Unexpected(), QStringList());
    Screenshot(window, QStringLiteral("korvid-thumbnails.png"));

    // The detail view, with what the list tells of each file.
    QTest::mouseClick(window.BtnViewMode, Qt::LeftButton);
    window.Shelllist->setCurrentIndex(window.ShelllistModel->index(QDir(folder).filePath(QStringLiteral("3.MP4"))));
    QTRY_COMPARE(window.ShelllistModel->index(QDir(folder).filePath(QStringLiteral("3.MP4")))
                     .siblingAtColumn(RecoveredFolderModel::RecordingTime).data().toString(),
                 QStringLiteral("2026-12-08 15:20:00"));
    Screenshot(window, QStringLiteral("korvid-columns.png"));
  }
};

}  // namespace
}  // namespace korvid::app::testing

QTEST_MAIN(korvid::app::testing::XvfbWindowTest)
#include "xvfb_window_test.moc"
