#pragma once

#include <QMutex>
#include <QString>
#include <QThread>
#include <QWaitCondition>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "engine/scan_driver.h"
#include "engine/source_device.h"

namespace korvid::app {

// Opens the source of a run; sources::OpenSource outside tests.
using SourceOpener = std::function<std::unique_ptr<SourceDevice>(const std::string& path)>;

// What one run is given by the window.
struct RunJob {
  std::string SourcePath;
  ScanMode Mode = ScanMode::WholeDisk;
  std::filesystem::path OutputFolder;
  std::filesystem::path SampleCachePath;
  bool Deep = false;  // follow every chunk of a recording, join its pieces and repair each file's header
  bool Resume = false;  // go on from the progress an interrupted run left in the output folder
};

// Runs one recovery off the GUI thread, so that a slow read on a failing disk never freezes the
// window. Progress leaves as signals, which reach the window queued; the window's stop flag is
// read by the engine once per chunk. Destroying the worker stops the scan and waits for the end.
class RunWorker final : public QThread {
  Q_OBJECT

 public:
  RunWorker(RunJob job, SourceOpener open, std::atomic<bool>& stopRequested, QObject* parent = nullptr);
  ~RunWorker() override;

  // From Pause on the run stands still at its next chunk, record or piece, until Resume.
  void Pause();
  void Resume();
  // True while the run stands still inside a pause.
  bool StandingStill() const;

  // Valid once Ended has been emitted.
  const RecoveryReport& Report() const { return report_; }
  // The text of the error that ended the run; empty when it ended normally.
  const QString& Error() const { return error_; }

 signals:
  void ScanProgress(qint64 scanned, qint64 total);
  void FragmentsFound(quint64 count);
  void WriteProgress(quint64 record, quint64 records);
  void JoinProgress(quint64 piece, quint64 pieces);
  void RetryProgress(quint64 tried, quint64 total);
  // Something the user should be told while the run goes on.
  void Notice(const QString& text);
  void Ended();

 protected:
  void run() override;

 private:
  class Observer;
  void WaitWhilePaused();

  const RunJob job_;
  const SourceOpener open_;
  std::atomic<bool>& stopRequested_;

  mutable QMutex mutex_;
  QWaitCondition resumed_;
  bool pauseRequested_ = false;  // guarded by mutex_
  bool standingStill_ = false;   // guarded by mutex_
  bool quitting_ = false;        // guarded by mutex_: the owner is going away, no more pauses

  RecoveryReport report_;  // written by the run, read after Ended
  QString error_;
};

}  // namespace korvid::app
