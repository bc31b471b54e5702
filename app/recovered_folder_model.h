#pragma once

#include <QFileSystemModel>
#include <QFileSystemWatcher>
#include <QHash>

#include "engine/report/file_report.h"

namespace korvid::app {

// The folder view's model: the folder's items as a file manager shows them, and for each file a
// run wrote there, what its list (korvid-files.tsv) tells of it: the name it was recorded as,
// its recording time, length, frames and source range. The list is read again whenever the
// folder changes, so that a run's files gain their columns as it ends.
class RecoveredFolderModel final : public QFileSystemModel {
  Q_OBJECT

 public:
  // The columns after the file system's four (name, size, type, date modified).
  enum ReportColumn { RecordedAs = 4, RecordingTime, Duration, Frames, SourceRange, ColumnCount };

  explicit RecoveredFolderModel(QObject* parent = nullptr);

  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

  // What the list tells of the file at `index`; null when it tells nothing.
  const FileReportLine* ReportOf(const QModelIndex& index) const;

 private:
  void ReadReport();

  QFileSystemWatcher watcher_;
  QString folder_;  // the folder whose list is held
  QHash<QString, FileReportLine> lines_;
};

}  // namespace korvid::app
