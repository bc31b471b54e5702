// The paragraph that tells what came of a run.
#include <QTest>

#include "app/run_outcome.h"
#include "engine/fourcc.h"

namespace korvid::app {
namespace {

RecoveryReport Finished(uint64_t fragments, size_t files, uint64_t bytes) {
  RecoveryReport report;
  report.SourceSize = 10485760;
  report.BytesScanned = report.SourceSize;
  report.FragmentsFound = fragments;
  report.Write.Files.resize(files);
  report.Write.BytesWritten = bytes;
  return report;
}

class RunOutcomeTest : public QObject {
  Q_OBJECT

 private slots:
  void fullPass() {
    QCOMPARE(RunOutcomeText(Finished(8, 2, 1536), QString(), QStringLiteral("/media/out")),
             QStringLiteral("恢复结束: 发现碎片 8 个, 写出文件 2 个 (1.50 KB, 共 0 帧), 保存在 /media/out."));
  }

  void stoppedScanSaysHowFarItCame() {
    RecoveryReport report = Finished(5, 1, 1024);
    report.Stopped = true;
    report.BytesScanned = 786432;
    QCOMPARE(RunOutcomeText(report, QString(), QStringLiteral("o")),
             QStringLiteral("恢复结束: 扫描已停止 (已扫描 768 KB / 10 MB), 发现碎片 5 个, 写出文件 1 个 (1 KB, 共 0 帧), 保存在 o."));
  }

  void unreadableBytesAndErrorsAreNamed() {
    RecoveryReport report = Finished(3, 1, 100);
    report.UnreadableScanBytes = 4096;
    report.UnreadableRanges = {{512, 1024}, {20480, 2048}, {40960, 512}, {81920, 512}};
    report.Write.UnreadableBytes = 512;
    const QString text = RunOutcomeText(report, QStringLiteral("Cannot create file \"o/2.AVI\". No space left on device"),
                                        QStringLiteral("o"));
    QVERIFY2(text.contains(QStringLiteral(" 扫描时有 4096 字节无法读取 (4 处: 512-1536, 20480-22528, 40960-41472 等).")),
             qPrintable(text));
    QVERIFY(text.contains(QStringLiteral(" 写出的文件中有 512 字节无法读取, 已填为零.")));
    QVERIFY(text.endsWith(QStringLiteral(" 运行因错误中止: Cannot create file \"o/2.AVI\". No space left on device")));
  }

  void framesCountTheVideoStreamsOnly() {
    RecoveryReport report = Finished(40, 2, 4096);
    report.Write.Files[0].FramesPerStream = {25, 22};
    report.Write.Files[1].FramesPerStream = {10, 9};
    report.StreamTypes = {FourCC("vids"), FourCC("auds")};
    QVERIFY(RunOutcomeText(report, QString(), QStringLiteral("o")).contains(QStringLiteral("(4 KB, 共 35 帧)")));
    // Streams unknown (the header could not be read): every chunk counts, and the reason is told.
    report.StreamTypes.clear();
    report.HeaderProblem = "no avih";
    const QString text = RunOutcomeText(report, QString(), QStringLiteral("o"));
    QVERIFY(text.contains(QStringLiteral("(4 KB, 共 66 帧)")));
    QVERIFY(text.contains(QStringLiteral(" 样本文件头无法解析 (no avih), 文件头按原样写出, 未修复.")));
  }

  void joinedRecordingsAndFramesLeftOutAreTold() {
    RecoveryReport report = Finished(900, 3, 8192);
    report.Write.Reassembled = true;
    report.Write.JoinedRecordings = 2;
    report.Write.PiecesInJoined = 37;
    report.Write.FramesLeftOut = 4;
    const QString text = RunOutcomeText(report, QString(), QStringLiteral("o"));
    QVERIFY(text.contains(QStringLiteral("保存在 o. 其中 2 个录像由 37 个碎片拼接而成. 关键帧之前无法解码的 4 帧未写出.")));
    // Nothing joined, nothing left out: neither is mentioned.
    report.Write.JoinedRecordings = 0;
    report.Write.FramesLeftOut = 0;
    QVERIFY(!RunOutcomeText(report, QString(), QStringLiteral("o")).contains(QStringLiteral("拼接")));
  }

  void folderWithPercentSignsStaysAsItIs() {
    QVERIFY(RunOutcomeText(Finished(0, 0, 0), QString(), QStringLiteral("/tmp/%1%2"))
                .endsWith(QStringLiteral("保存在 /tmp/%1%2.")));
  }
};

}  // namespace
}  // namespace korvid::app

QTEST_MAIN(korvid::app::RunOutcomeTest)
#include "run_outcome_test.moc"
