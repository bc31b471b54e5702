// Whole runs through the window on generated disk images: the inputs, the busy state, Stop,
// Pause, closing during a run, and what the window shows afterwards.
#include <QAction>
#include <QDir>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QProgressBar>
#include <QSignalSpy>
#include <QStackedLayout>
#include <QTest>
#include <QTextEdit>
#include <QToolButton>
#include <QTreeView>

#include "app/recovered_folder_model.h"
#include "app_test_support.h"

namespace korvid::app::testing {
namespace {

// An image of 40 chunks: a chain of 5 records in chunk 0, one of 3 records in chunk 38.
TestImage TwoChainImage() {
  TestImage image(40 * Chunk);
  image.PutChain(1000, 5, 4000);
  image.PutChain(38 * Chunk + 512, 3, 6000);
  return image;
}

class WindowRunTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir work;
  QString imagePath, samplePath, outFolder;
  TestImage image = TwoChainImage();

  // Chooses source, output folder and sample through the window's own commands.
  void ChooseInputs(WindowFixture& f) {
    f.shell.file = imagePath;
    f.window.RecBtnDropDown();
    QAction* openImage = f.window.pop->findChild<QAction*>(QStringLiteral("Openimage"));
    QVERIFY(openImage != nullptr);
    f.window.SourceMenuClick(openImage);
    f.shell.folder = outFolder;
    f.window.SaveBtnClick();
    // What another command may have left in the open dialog is cleared first.
    f.window.od->setNameFilters({QStringLiteral("Video (*.avi)")});
    f.window.od->setDefaultSuffix(QStringLiteral("avi"));
    f.shell.file = samplePath;
    f.window.BtnSelectAllClick();
    QVERIFY(!f.window.SampleCachePath.isEmpty());
  }

  std::vector<uint8_t> Header() const { return std::vector<uint8_t>(SampleHead()); }
  QString Out(const QString& name) const { return QDir(outFolder).filePath(name); }

  static bool StandingStill(TfrmMain& w) { return w.Runner() != nullptr && w.Runner()->StandingStill(); }

  static std::vector<bool> InputsEnabled(TfrmMain& w) {
    return {w.Source->isEnabled(), w.Edit1->isEnabled(), w.ToolBoxBtn->isEnabled(), w.RecBtn->isEnabled(),
            w.SaveBtn->isEnabled(), w.RunBtn->isEnabled(), w.UpdateBtn->isEnabled(), w.SupportBtn->isEnabled(),
            w.BtnSelectAll->isEnabled()};
  }

 private slots:
  void init() {
    QVERIFY(work.isValid());
    imagePath = work.filePath(QStringLiteral("card.img"));
    samplePath = work.filePath(QStringLiteral("ch01.avi"));
    outFolder = work.filePath(QStringLiteral("out-%1").arg(QTest::currentTestFunction()));
    QVERIFY(QDir().mkpath(outFolder));
    image.Write(imagePath);
    WriteSample(samplePath);
  }

  void choosingInputsFillsTheHiddenFields() {
    WindowFixture f;
    ChooseInputs(f);
    QCOMPARE(f.window.Source->text(), imagePath);
    QCOMPARE(f.window.SourcePath, imagePath.toStdString());
    QCOMPARE(f.window.SourceSize, static_cast<int64_t>(image.bytes.size()));
    QCOMPARE(f.window.Edit1->text(), outFolder);
    QCOMPARE(f.window.Destination->text(), QDir::toNativeSeparators(outFolder));
    QCOMPARE(f.shell.prompts, QStringList{QStringLiteral("选择保存路径: ")});
    // The open dialog offers every file.
    QVERIFY(!f.shell.filtersSeen.contains(QStringLiteral("Video (*.avi)")));
    QVERIFY(f.shell.suffixSeen.isEmpty());
    QCOMPARE(f.window.SampleCachePath, f.cache.path() + QStringLiteral("/Cache/ch01.avi.bin"));
    QCOMPARE(ReadBytes(f.window.SampleCachePath), Header());
    QVERIFY(f.boxes.shown.empty());
  }

  void wholeDiskRunWritesEveryChainAndReturnsToIdle() {
    auto gate = std::make_shared<Gate>(2 * Chunk);
    WindowFixture f(gate);
    ChooseInputs(f);
    QSignalSpy ended(&f.window, &TfrmMain::RunEnded);

    f.window.N9Click();
    QVERIFY(f.window.Running());
    QCOMPARE(InputsEnabled(f.window), std::vector<bool>(9, false));
    QVERIFY(f.window.PauseBtn->isEnabled());
    QVERIFY(f.window.StopBtn->isEnabled());
    QVERIFY(f.window.helpBtn->isEnabled());
    QVERIFY(f.window.ExitBtn->isEnabled());
    // The first chunk's records are counted while the scan waits at the gate.
    QTRY_COMPARE(f.window.SegLabel->text(), QStringLiteral("碎片: 5"));
    QCOMPARE(f.window.gg->maximum(), static_cast<int>(image.bytes.size() / 1024));
    QVERIFY(f.window.Running());

    gate->MoveTo(INT64_MAX);
    QVERIFY(ended.wait(10000));
    QVERIFY(!f.window.Running());
    QCOMPARE(InputsEnabled(f.window), std::vector<bool>(9, true));
    QCOMPARE(f.window.gg->value(), 0);
    QCOMPARE(f.window.SegLabel->text(), QStringLiteral("碎片: %1").arg(image.Records()));
    QCOMPARE(f.window.TimeLabel->text(), QStringLiteral("剩余时间: "));
    QCOMPARE(ReadBytes(Out(QStringLiteral("1.AVI"))), Concat(Header(), image.Slice(image.chains[0])));
    QCOMPARE(ReadBytes(Out(QStringLiteral("2.AVI"))), Concat(Header(), image.Slice(image.chains[1])));
    QVERIFY(!QFile::exists(Out(QStringLiteral("3.AVI"))));
    // The view watches its folder: the new files show without a refresh.
    QTRY_VERIFY(f.window.ShelllistModel->index(Out(QStringLiteral("2.AVI"))).isValid());
    // Beside them the run's list of what it wrote, whose lines fill the view's columns.
    QTRY_COMPARE(f.window.ShelllistModel->rowCount(f.window.Shelllist->rootIndex()), 3);
    QVERIFY(QFile::exists(Out(QStringLiteral("korvid-files.tsv"))));
    const QModelIndex second = f.window.ShelllistModel->index(Out(QStringLiteral("2.AVI")));
    QTRY_COMPARE(second.siblingAtColumn(RecoveredFolderModel::SourceRange).data().toString(),
                 QLocale(QLocale::Chinese, QLocale::China).toString(static_cast<qlonglong>(image.chains[1].Start)) + QStringLiteral(" - ") +
                     QLocale(QLocale::Chinese, QLocale::China).toString(static_cast<qlonglong>(image.chains[1].End)));
    // The outcome is told in the lower pane, not in a box.
    QCOMPARE(static_cast<QStackedLayout*>(f.window.RzPanel2->layout())->currentWidget(), f.window.ScanLog);
    QVERIFY(f.window.ScanLog->toPlainText().contains(QStringLiteral("写出文件 2 个")));
    QVERIFY(f.boxes.shown.empty());
    // The cached header stays for the next run.
    QVERIFY(QFile::exists(f.window.SampleCachePath));
  }

  void deepItemStaysCheckedAndGoesWithEveryRun() {
    WindowFixture f;
    ChooseInputs(f);
    QSignalSpy ended(&f.window, &TfrmMain::RunEnded);
    f.window.DeepRecovery->trigger();
    for (int run = 0; run < 2; ++run) {
      f.window.N9Click();
      QVERIFY(ended.wait(10000));
      QVERIFY(f.window.DeepRecovery->isChecked());
      // The test sample's header is no AVI header: a deep run says so and writes plain copies.
      QVERIFY(f.window.ScanLog->toPlainText().contains(QStringLiteral("样本文件头无法解析")));
      QCOMPARE(ReadBytes(Out(QStringLiteral("1.AVI"))), Concat(Header(), image.Slice(image.chains[0])));
    }
    f.window.DeepRecovery->trigger();
    f.window.N9Click();
    QVERIFY(ended.wait(10000));
    // Each run adds its own paragraph to the pane.
    QVERIFY(!f.window.ScanLog->toPlainText().split(QLatin1Char('\n')).last().contains(QStringLiteral("样本文件头无法解析")));
  }

  // A run of this source stopped part way left its progress in the output folder: the window
  // offers to go on with it, and the run that does writes the files of an uninterrupted one.
  void anInterruptedRunIsOfferedToGoOn() {
    {
      struct StopAfterOneChunk : RunObserver {
        bool StopRequested() override { return chunks > 0; }
        void ScanProgress(int64_t, int64_t) override { ++chunks; }
        int chunks = 0;
      } observer;
      const std::unique_ptr<SourceDevice> source = sources::OpenSource(imagePath.toStdString());
      RecoveryRequest request;
      request.Source = source.get();
      request.OutputFolder = outFolder.toStdString();
      request.Header = Header();
      request.ProgressFolder = request.OutputFolder;
      RecoveryReport report;
      RunRecovery(request, observer, report);
      QVERIFY(report.Stopped);
    }
    QVERIFY(QFile::exists(Out(QStringLiteral("korvid-progress.map"))));
    QVERIFY(QFile::remove(Out(QStringLiteral("1.AVI"))));
    WindowFixture f;
    ChooseInputs(f);
    f.boxes.answer = [](const QString& caption, const QString&) { return caption == QStringLiteral("继续恢复"); };
    QSignalSpy ended(&f.window, &TfrmMain::RunEnded);
    f.window.N9Click();
    QVERIFY(ended.wait(10000));
    QCOMPARE(f.boxes.shown.size(), size_t{1});
    QCOMPARE(f.boxes.shown[0].Caption, QStringLiteral("继续恢复"));
    QCOMPARE(ReadBytes(Out(QStringLiteral("1.AVI"))), Concat(Header(), image.Slice(image.chains[0])));
    QCOMPARE(ReadBytes(Out(QStringLiteral("2.AVI"))), Concat(Header(), image.Slice(image.chains[1])));
    QVERIFY(!QFile::exists(Out(QStringLiteral("korvid-progress.map"))));
  }

  // Container mode recovers MP4, MOV and MXF files: it says so of an AVI sample and runs nothing.
  void containerModeRefusesAnAviSample() {
    WindowFixture f;
    ChooseInputs(f);
    f.window.RunBtnClick();
    QCOMPARE(f.boxes.shown.size(), size_t{1});
    QVERIFY(f.boxes.shown[0].Text.startsWith(QStringLiteral("恢复MP4、MOV、3GP和MXF文件需要同一设备录制的MP4、MOV或MXF样本!")));
    QVERIFY(!f.window.Running());
    QVERIFY(f.window.RunBtn->isEnabled());
    QVERIFY(QDir(outFolder).isEmpty());
  }

  void freeSpaceOfAnImageWithoutFileSystemScansItWhole() {
    WindowFixture f;
    ChooseInputs(f);
    QSignalSpy ended(&f.window, &TfrmMain::RunEnded);
    f.window.N10Click();
    QVERIFY(ended.wait(10000));
    QCOMPARE(f.boxes.shown.size(), size_t{1});
    QCOMPARE(f.boxes.shown[0].Kind, QStringLiteral("inform"));
    QVERIFY(f.boxes.shown[0].Text.startsWith(QStringLiteral("无法读取剩余空间的分布")));
    QVERIFY(QFile::exists(Out(QStringLiteral("2.AVI"))));
  }

  void stopEndsTheScanAndWritesWhatWasFound() {
    auto gate = std::make_shared<Gate>(3 * Chunk);
    WindowFixture f(gate);
    ChooseInputs(f);
    QSignalSpy ended(&f.window, &TfrmMain::RunEnded);
    f.window.N9Click();
    QTRY_COMPARE(f.window.SegLabel->text(), QStringLiteral("碎片: 5"));

    f.window.StopBtnClick();
    QVERIFY(f.window.StopRequested);
    QCOMPARE(f.window.gg->value(), 0);
    gate->MoveTo(INT64_MAX);
    QVERIFY(ended.wait(10000));
    QCOMPARE(ReadBytes(Out(QStringLiteral("1.AVI"))), Concat(Header(), image.Slice(image.chains[0])));
    QVERIFY(!QFile::exists(Out(QStringLiteral("2.AVI"))));
    QCOMPARE(f.window.SegLabel->text(), QStringLiteral("碎片: 5"));
    QCOMPARE(f.window.gg->value(), 0);
    QVERIFY(f.window.ScanLog->toPlainText().contains(QStringLiteral("扫描已停止")));
    QCOMPARE(InputsEnabled(f.window), std::vector<bool>(9, true));
  }

  void stopDuringTheWritingEndsNothing() {
    // The run reads the first sectors (which tell the source again when it is resumed), then
    // each of the 40 chunks once; the writer's first read waits at the gate.
    auto gate = std::make_shared<Gate>(41);
    auto reads = std::make_shared<std::atomic<int64_t>>(0);
    WindowFixture f(gate, 1234, QStringLiteral("/opt/korvid/korvid"),
                    [gate, reads](const std::string& path) -> std::unique_ptr<SourceDevice> {
                      return std::make_unique<CountedSource>(sources::OpenSource(path), gate, reads);
                    });
    ChooseInputs(f);
    QSignalSpy ended(&f.window, &TfrmMain::RunEnded);
    f.window.N9Click();
    // The gauge counts records once the writer has begun.
    QTRY_COMPARE(f.window.gg->maximum(), image.Records());
    f.window.StopBtnClick();
    gate->MoveTo(INT64_MAX);
    QVERIFY(ended.wait(10000));
    QCOMPARE(ReadBytes(Out(QStringLiteral("1.AVI"))), Concat(Header(), image.Slice(image.chains[0])));
    QCOMPARE(ReadBytes(Out(QStringLiteral("2.AVI"))), Concat(Header(), image.Slice(image.chains[1])));
    QVERIFY(!f.window.ScanLog->toPlainText().contains(QStringLiteral("扫描已停止")));
  }

  void pauseHoldsTheScanAndCancelEndsIt() {
    auto gate = std::make_shared<Gate>(3 * Chunk);
    WindowFixture f(gate);
    ChooseInputs(f);
    QSignalSpy ended(&f.window, &TfrmMain::RunEnded);
    f.window.N9Click();
    QTRY_COMPARE(f.window.SegLabel->text(), QStringLiteral("碎片: 5"));

    bool stoodStill = false;
    f.boxes.answer = [&](const QString& caption, const QString& text) {
      if (caption != QStringLiteral("暂停") || text != QStringLiteral("是否继续？")) return true;
      // Nothing holds the scan any more but the open box.
      gate->MoveTo(INT64_MAX);
      if (!QTest::qWaitFor([&] { return StandingStill(f.window); }, 5000)) return false;
      const QString count = f.window.SegLabel->text();
      const int progress = f.window.gg->value();
      QTest::qWait(300);
      stoodStill = StandingStill(f.window) && f.window.SegLabel->text() == count &&
                   f.window.gg->value() == progress && !ended.count();
      return false;
    };
    f.window.PauseBtnClick();
    QVERIFY(stoodStill);
    QVERIFY(f.window.StopRequested);
    QVERIFY(ended.wait(10000));
    QVERIFY(QFile::exists(Out(QStringLiteral("1.AVI"))));
    QVERIFY(!QFile::exists(Out(QStringLiteral("2.AVI"))));
    QVERIFY(f.window.ScanLog->toPlainText().contains(QStringLiteral("扫描已停止")));
  }

  void pauseAnsweredWithOkGoesOnToTheEnd() {
    auto gate = std::make_shared<Gate>(3 * Chunk);
    WindowFixture f(gate);
    ChooseInputs(f);
    QSignalSpy ended(&f.window, &TfrmMain::RunEnded);
    f.window.N9Click();
    QTRY_COMPARE(f.window.SegLabel->text(), QStringLiteral("碎片: 5"));
    bool stoodStill = false;
    f.boxes.answer = [&](const QString&, const QString&) {
      gate->MoveTo(INT64_MAX);
      stoodStill = QTest::qWaitFor([&] { return StandingStill(f.window); }, 5000);
      return true;
    };
    f.window.PauseBtnClick();
    QVERIFY(stoodStill);
    QVERIFY(!f.window.StopRequested);
    QVERIFY(ended.wait(10000));
    QCOMPARE(f.window.SegLabel->text(), QStringLiteral("碎片: %1").arg(image.Records()));
    QCOMPARE(ReadBytes(Out(QStringLiteral("2.AVI"))), Concat(Header(), image.Slice(image.chains[1])));
  }

  void closeMenuStopsTheRunThenCloses() {
    auto gate = std::make_shared<Gate>(3 * Chunk);
    WindowFixture f(gate);
    f.window.show();
    ChooseInputs(f);
    QSignalSpy ended(&f.window, &TfrmMain::RunEnded);
    f.window.N9Click();
    QTRY_COMPARE(f.window.SegLabel->text(), QStringLiteral("碎片: 5"));
    f.window.N2->trigger();
    QVERIFY(f.window.StopRequested);
    QVERIFY(f.window.isVisible());  // the window waits for the run's closing steps
    gate->MoveTo(INT64_MAX);
    QVERIFY(ended.wait(10000));
    QTRY_VERIFY(!f.window.isVisible());
    QVERIFY(QFile::exists(Out(QStringLiteral("1.AVI"))));
    QVERIFY(!QFile::exists(Out(QStringLiteral("2.AVI"))));
  }

  void exitLetsTheRunFinishThenCloses() {
    auto gate = std::make_shared<Gate>(3 * Chunk);
    WindowFixture f(gate);
    f.window.show();
    ChooseInputs(f);
    QSignalSpy ended(&f.window, &TfrmMain::RunEnded);
    f.window.N9Click();
    QTRY_COMPARE(f.window.SegLabel->text(), QStringLiteral("碎片: 5"));
    f.window.ExitBtn->click();
    QVERIFY(!f.window.StopRequested);
    QVERIFY(f.window.isVisible());
    gate->MoveTo(INT64_MAX);
    QVERIFY(ended.wait(10000));
    QTRY_VERIFY(!f.window.isVisible());
    QVERIFY(QFile::exists(Out(QStringLiteral("2.AVI"))));
  }

  void sourceThatCannotBeOpenedReportsTheError() {
    WindowFixture f;
    ChooseInputs(f);
    QSignalSpy ended(&f.window, &TfrmMain::RunEnded);
    QVERIFY(QFile::remove(imagePath));
    f.window.N9Click();
    QVERIFY(ended.wait(10000));
    QCOMPARE(f.boxes.shown.size(), size_t{1});
    QCOMPARE(f.boxes.shown[0].Kind, QStringLiteral("error"));
    QCOMPARE(f.boxes.shown[0].Text,
             QStringLiteral("Cannot open file \"%1\". No such file or directory").arg(imagePath));
    QCOMPARE(InputsEnabled(f.window), std::vector<bool>(9, true));
    QCOMPARE(f.window.TimeLabel->text(), QStringLiteral("剩余时间: "));
  }
};

}  // namespace
}  // namespace korvid::app::testing

QTEST_MAIN(korvid::app::testing::WindowRunTest)
#include "window_run_test.moc"
