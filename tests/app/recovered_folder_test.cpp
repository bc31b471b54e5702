// The folder view's columns, read from the list a run leaves beside its files.
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <filesystem>

#include "app/path_text.h"
#include "app/recovered_folder_model.h"
#include "engine/fourcc.h"

namespace korvid::app {
namespace {

constexpr int64_t Dec8 = 1796742000;  // 2026-12-08 15:00:00 UTC

WrittenFile Written(const QString& path, int64_t start, uint64_t pieces, double seconds) {
  QFile file(path);
  file.open(QIODevice::WriteOnly);
  file.write("frames");
  WrittenFile f;
  f.Path = ToPath(path);
  f.Complete = true;
  f.SourceStart = start;
  f.SourceEnd = start + 1048576;
  f.Pieces = pieces;
  f.DurationSeconds = seconds;
  f.FramesPerStream = {250, 180};
  return f;
}

void SetModified(const QString& path, int64_t seconds) {
  std::filesystem::last_write_time(
      ToPath(path), std::chrono::file_clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(seconds))));
}

class RecoveredFolderTest : public QObject {
  Q_OBJECT

 private slots:
  void columnsTellWhatEachFileIs() {
    QTemporaryDir folder;
    const QDir dir(folder.path());
    WrittenFile first = Written(dir.filePath(QStringLiteral("1 CH01_20261208_150000.AVI")), 10485760, 3, 3725);
    first.Entry = SourceEntry{};
    first.Entry->Name = "CH01_20261208_150000.AVI";
    first.RecordingTime = Dec8;
    WrittenFile second = Written(dir.filePath(QStringLiteral("2.AVI")), 0, 1, 65);
    AppendFileReport(ToPath(folder.path()), {first, second}, {FourCC("vids"), FourCC("auds")});
    dir.mkdir(QStringLiteral("sub"));

    RecoveredFolderModel model;
    const QModelIndex root = model.setRootPath(folder.path());
    QTRY_COMPARE(model.rowCount(root), 4);  // two files, the list and the folder
    QCOMPARE(model.columnCount(root), 9);
    QCOMPARE(model.headerData(RecoveredFolderModel::RecordedAs, Qt::Horizontal).toString(), QStringLiteral("原文件名"));
    QCOMPARE(model.headerData(RecoveredFolderModel::SourceRange, Qt::Horizontal).toString(), QStringLiteral("源位置"));

    const QModelIndex named = model.index(dir.filePath(QStringLiteral("1 CH01_20261208_150000.AVI")));
    const auto cell = [](const QModelIndex& item, int column) { return item.siblingAtColumn(column).data().toString(); };
    QCOMPARE(cell(named, RecoveredFolderModel::RecordedAs), QStringLiteral("CH01_20261208_150000.AVI"));
    QCOMPARE(cell(named, RecoveredFolderModel::RecordingTime), QStringLiteral("2026-12-08 15:00:00"));
    QCOMPARE(cell(named, RecoveredFolderModel::Duration), QStringLiteral("1:02:05"));
    QCOMPARE(cell(named, RecoveredFolderModel::Frames), QStringLiteral("250"));  // video frames only
    QCOMPARE(cell(named, RecoveredFolderModel::SourceRange), QStringLiteral("10,485,760 - 11,534,336 (3 段)"));
    const QModelIndex plain = model.index(dir.filePath(QStringLiteral("2.AVI")));
    QCOMPARE(cell(plain, RecoveredFolderModel::RecordedAs), QString());
    QCOMPARE(cell(plain, RecoveredFolderModel::RecordingTime), QString());
    QCOMPARE(cell(plain, RecoveredFolderModel::Duration), QStringLiteral("1:05"));
    QCOMPARE(cell(plain, RecoveredFolderModel::SourceRange), QStringLiteral("0 - 1,048,576"));
    // Items the list does not tell of have empty columns.
    QCOMPARE(cell(model.index(dir.filePath(QStringLiteral("sub"))), RecoveredFolderModel::Frames), QString());
    QCOMPARE(cell(model.index(dir.filePath(QStringLiteral("korvid-files.tsv"))), RecoveredFolderModel::Frames),
             QString());
  }

  void aLaterRunsFilesGainTheirColumnsAsItEnds() {
    QTemporaryDir folder;
    const QDir dir(folder.path());
    RecoveredFolderModel model;
    const QModelIndex root = model.setRootPath(folder.path());
    const WrittenFile file = Written(dir.filePath(QStringLiteral("1.AVI")), 4096, 1, 10);
    QTRY_COMPARE(model.rowCount(root), 1);
    const QModelIndex item = model.index(dir.filePath(QStringLiteral("1.AVI")));
    QCOMPARE(item.siblingAtColumn(RecoveredFolderModel::Frames).data().toString(), QString());

    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    AppendFileReport(ToPath(folder.path()), {file}, {});
    QTRY_COMPARE(item.siblingAtColumn(RecoveredFolderModel::Frames).data().toString(), QStringLiteral("430"));
    QVERIFY(!changed.isEmpty());
  }

  void theRecordingTimeSortsByTheTimeTheRunGaveTheFiles() {
    QTemporaryDir folder;
    const QDir dir(folder.path());
    WrittenFile later = Written(dir.filePath(QStringLiteral("1.AVI")), 0, 1, 10);
    later.RecordingTime = Dec8 + 3600;
    WrittenFile earlier = Written(dir.filePath(QStringLiteral("2.AVI")), 5000000, 1, 10);
    earlier.RecordingTime = Dec8;
    SetModified(dir.filePath(QStringLiteral("1.AVI")), Dec8 + 3600);
    SetModified(dir.filePath(QStringLiteral("2.AVI")), Dec8);
    AppendFileReport(ToPath(folder.path()), {later, earlier}, {});
    SetModified(dir.filePath(QStringLiteral("korvid-files.tsv")), Dec8 + 7200);

    RecoveredFolderModel model;
    const QModelIndex root = model.setRootPath(folder.path());
    QTRY_COMPARE(model.rowCount(root), 3);
    model.sort(RecoveredFolderModel::RecordingTime, Qt::AscendingOrder);
    QTRY_COMPARE(model.index(0, 0, root).data().toString(), QStringLiteral("2.AVI"));
    QCOMPARE(model.index(1, 0, root).data().toString(), QStringLiteral("1.AVI"));
    // The file system's columns read as in Chinese whatever the system's language.
    QCOMPARE(model.index(0, 3, root).data().toString(),
             QDateTime::fromSecsSinceEpoch(Dec8).toString(QStringLiteral("yyyy/M/d H:mm")));
    QCOMPARE(model.index(0, 1, root).data().toString(), QStringLiteral("6 字节"));
  }
};

}  // namespace
}  // namespace korvid::app

QTEST_MAIN(korvid::app::RecoveredFolderTest)
#include "recovered_folder_test.moc"
