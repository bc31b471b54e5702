// A run whose output folder lies on the device being recovered asks first. Needs root: the
// device is a loop device holding a mounted ext4 file system.
#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include "app_test_support.h"

namespace korvid::app::testing {
namespace {

QString Run(const QString& program, const QStringList& arguments, bool* ok) {
  QProcess process;
  process.start(program, arguments);
  *ok = process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
  return QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
}

class SameDeviceTest : public QObject {
  Q_OBJECT

 private:
  QTemporaryDir work;
  QString loop, mountPoint, samplePath;
  bool mounted = false;

  void ChooseInputs(WindowFixture& f, const QString& source, const QString& folder) {
    f.window.Source->setText(source);
    f.shell.folder = folder;
    f.window.SaveBtnClick();
    f.shell.file = samplePath;
    f.window.BtnSelectAllClick();
    QVERIFY(!f.window.SampleCachePath.isEmpty());
    QVERIFY(f.boxes.shown.empty());
  }

 private slots:
  void initTestCase() {
    samplePath = work.filePath(QStringLiteral("ch01.avi"));
    WriteSample(samplePath);
    const QString image = work.filePath(QStringLiteral("volume.img"));
    TestImage(8 * Chunk).Write(image);
    bool ok = false;
    Run(QStringLiteral("mkfs.ext4"), {QStringLiteral("-q"), QStringLiteral("-F"), image}, &ok);
    if (!ok) QSKIP("mkfs.ext4 is not available");
    loop = Run(QStringLiteral("losetup"), {QStringLiteral("-f"), QStringLiteral("--show"), image}, &ok);
    if (!ok || loop.isEmpty()) QSKIP("no loop device can be attached (root only)");
    mountPoint = work.filePath(QStringLiteral("mnt"));
    QVERIFY(QDir().mkpath(mountPoint));
    Run(QStringLiteral("mount"), {loop, mountPoint}, &mounted);
    if (!mounted) QSKIP("the loop device cannot be mounted here");
    QVERIFY(QDir().mkpath(mountPoint + QStringLiteral("/out")));
  }

  void cleanupTestCase() {
    bool ok = false;
    if (mounted) Run(QStringLiteral("umount"), {mountPoint}, &ok);
    if (!loop.isEmpty()) Run(QStringLiteral("losetup"), {QStringLiteral("-d"), loop}, &ok);
  }

  void cancelLeavesTheWindowIdle() {
    WindowFixture f;
    ChooseInputs(f, loop, mountPoint + QStringLiteral("/out"));
    f.boxes.answer = [](const QString&, const QString&) { return false; };
    f.window.N9Click();
    QCOMPARE(f.boxes.shown.size(), size_t{1});
    QCOMPARE(f.boxes.shown[0].Kind, QStringLiteral("ask"));
    QCOMPARE(f.boxes.shown[0].Caption, QStringLiteral("保存路径"));
    QVERIFY(f.boxes.shown[0].Text.contains(QStringLiteral("覆盖")));
    QVERIFY(!f.window.Running());
    QVERIFY(f.window.RunBtn->isEnabled());
  }

  void okGoesOn() {
    WindowFixture f;
    ChooseInputs(f, loop, mountPoint + QStringLiteral("/out"));
    QSignalSpy ended(&f.window, &TfrmMain::RunEnded);
    f.window.N9Click();
    QCOMPARE(f.boxes.shown.size(), size_t{1});
    QVERIFY(f.window.Running());
    QVERIFY(ended.wait(20000));
  }

  void outputOnAnotherDeviceAsksNothing() {
    WindowFixture f;
    ChooseInputs(f, loop, work.path());
    QSignalSpy ended(&f.window, &TfrmMain::RunEnded);
    f.window.N9Click();
    QVERIFY(f.window.Running());
    QVERIFY(ended.wait(20000));
    QVERIFY(f.boxes.shown.empty());
  }
};

}  // namespace
}  // namespace korvid::app::testing

QTEST_MAIN(korvid::app::testing::SameDeviceTest)
#include "same_device_test.moc"
