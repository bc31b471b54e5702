#include "app/recovered_folder_model.h"

#include <QDateTime>
#include <QLocale>
#include <QTimeZone>

#include "app/path_text.h"

namespace korvid::app {
namespace {

// "1:05" or "1:02:05".
QString DurationText(double seconds) {
  const auto total = static_cast<qint64>(seconds + 0.5);
  const QString secondsText = QStringLiteral("%1").arg(total % 60, 2, 10, QLatin1Char('0'));
  if (total < 3600) return QStringLiteral("%1:%2").arg(total / 60).arg(secondsText);
  return QStringLiteral("%1:%2:%3").arg(total / 3600).arg(total / 60 % 60, 2, 10, QLatin1Char('0')).arg(secondsText);
}

// The window speaks Chinese whatever the system's language, and so do the file system's columns.
const QLocale& Chinese() {
  static const QLocale locale(QLocale::Chinese, QLocale::China);
  return locale;
}

QString FramesText(const FileReportLine& line) {
  return line.FramesPerStream.empty() && line.VideoFrames == 0 ? QString() : QString::number(line.VideoFrames);
}

// Bytes of the source, "10,485,760 - 11,780,096", and the pieces joined, where more than one.
QString SourceRangeText(const FileReportLine& line) {
  QString text = Chinese().toString(static_cast<qlonglong>(line.SourceStart)) + QStringLiteral(" - ") +
                 Chinese().toString(static_cast<qlonglong>(line.SourceEnd));
  if (line.Pieces > 1) text += QStringLiteral(" (%1 段)").arg(line.Pieces);
  return text;
}

}  // namespace

RecoveredFolderModel::RecoveredFolderModel(QObject* parent) : QFileSystemModel(parent) {
  connect(this, &QFileSystemModel::rootPathChanged, this, [this] { ReadReport(); });
  // The list is replaced whole by a rename, which the folder's watch sees.
  connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, [this] { ReadReport(); });
}

int RecoveredFolderModel::columnCount(const QModelIndex& parent) const {
  return parent.column() > 0 ? 0 : ColumnCount;
}

const FileReportLine* RecoveredFolderModel::ReportOf(const QModelIndex& index) const {
  if (!index.isValid() || filePath(index.parent()) != folder_) return nullptr;
  const auto found = lines_.constFind(fileName(index));
  return found == lines_.constEnd() ? nullptr : &*found;
}

QVariant RecoveredFolderModel::data(const QModelIndex& index, int role) const {
  if (role == Qt::DisplayRole && index.column() == 1 && !isDir(index)) {
    return Chinese().formattedDataSize(size(index), 2, QLocale::DataSizeTraditionalFormat);
  }
  if (role == Qt::DisplayRole && index.column() == 3) {
    return Chinese().toString(lastModified(index), QStringLiteral("yyyy/M/d H:mm"));
  }
  if (index.column() < RecordedAs) return QFileSystemModel::data(index, role);
  if (role == Qt::TextAlignmentRole) {
    const bool number = index.column() == Duration || index.column() == Frames;
    return QVariant::fromValue(Qt::AlignVCenter | (number ? Qt::AlignRight : Qt::AlignLeft));
  }
  if (role != Qt::DisplayRole && role != Qt::ToolTipRole) return {};
  const FileReportLine* line = ReportOf(index.siblingAtColumn(0));
  if (!line) return {};
  switch (index.column()) {
    case RecordedAs: return QString::fromStdString(line->RecordedAs);
    case RecordingTime:
      if (!line->Time) return {};
      return QDateTime::fromSecsSinceEpoch(*line->Time, QTimeZone::utc()).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    case Duration: return line->DurationSeconds > 0 ? DurationText(line->DurationSeconds) : QString();
    case Frames: {
      if (role == Qt::DisplayRole) return FramesText(*line);
      QStringList perStream;
      for (uint64_t n : line->FramesPerStream) perStream << QString::number(n);
      return QStringLiteral("各流: ") + perStream.join(QStringLiteral(" + "));
    }
    case SourceRange: return SourceRangeText(*line);
    default: return {};
  }
}

QVariant RecoveredFolderModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (section < RecordedAs || orientation != Qt::Horizontal || role != Qt::DisplayRole) {
    return QFileSystemModel::headerData(section, orientation, role);
  }
  switch (section) {
    case RecordedAs: return QStringLiteral("原文件名");
    case RecordingTime: return QStringLiteral("录制时间");
    case Duration: return QStringLiteral("时长");
    case Frames: return QStringLiteral("帧数");
    case SourceRange: return QStringLiteral("源位置");
    default: return {};
  }
}

void RecoveredFolderModel::sort(int column, Qt::SortOrder order) {
  // The file system's order serves the list's columns: a run sets each file's modification time
  // to its recording time, and numbers its files in source order.
  if (column == RecordingTime) column = 3;
  if (column > RecordingTime) column = 0;
  QFileSystemModel::sort(column, order);
}

void RecoveredFolderModel::ReadReport() {
  const QString folder = rootPath();
  if (folder != folder_) {
    if (!watcher_.directories().isEmpty()) watcher_.removePaths(watcher_.directories());
    if (!folder.isEmpty()) watcher_.addPath(folder);
    folder_ = folder;
  }
  lines_.clear();
  if (!folder.isEmpty()) {
    for (FileReportLine& line : ReadFileReport(ToPath(folder))) {
      const QString name = QString::fromStdString(line.File);
      lines_.insert(name, std::move(line));
    }
  }
  const QModelIndex root = index(folder);
  const int rows = rowCount(root);
  if (rows > 0) emit dataChanged(index(0, RecordedAs, root), index(rows - 1, ColumnCount - 1, root));
}

}  // namespace korvid::app
