#include "app/run_worker.h"

#include <QMutexLocker>
#include <exception>

#include "engine/errors.h"
#include "engine/sample_header.h"
#include "sources/source_catalog.h"

namespace korvid::app {

// The engine's view of the worker; every call comes on the worker's thread.
class RunWorker::Observer final : public RunObserver {
 public:
  explicit Observer(RunWorker& worker) : worker_(worker) {}

  void Yield() override { worker_.WaitWhilePaused(); }
  bool StopRequested() override { return worker_.stopRequested_.load(); }
  void ScanProgress(int64_t scanned, int64_t total) override { emit worker_.ScanProgress(scanned, total); }
  void FragmentsFound(uint64_t count) override { emit worker_.FragmentsFound(count); }
  void WriteProgress(uint64_t record, uint64_t records) override { emit worker_.WriteProgress(record, records); }
  void JoinProgress(uint64_t piece, uint64_t pieces) override { emit worker_.JoinProgress(piece, pieces); }
  void RetryProgress(uint64_t tried, uint64_t total) override { emit worker_.RetryProgress(tried, total); }

 private:
  RunWorker& worker_;
};

RunWorker::RunWorker(RunJob job, SourceOpener open, std::atomic<bool>& stopRequested, QObject* parent)
    : QThread(parent), job_(std::move(job)), open_(std::move(open)), stopRequested_(stopRequested) {}

RunWorker::~RunWorker() {
  stopRequested_ = true;
  {
    QMutexLocker lock(&mutex_);
    quitting_ = true;
    resumed_.wakeAll();
  }
  wait();
}

void RunWorker::Pause() {
  QMutexLocker lock(&mutex_);
  pauseRequested_ = true;
}

void RunWorker::Resume() {
  QMutexLocker lock(&mutex_);
  pauseRequested_ = false;
  resumed_.wakeAll();
}

bool RunWorker::StandingStill() const {
  QMutexLocker lock(&mutex_);
  return standingStill_;
}

void RunWorker::WaitWhilePaused() {
  QMutexLocker lock(&mutex_);
  while (pauseRequested_ && !quitting_) {
    standingStill_ = true;
    resumed_.wait(&mutex_);
  }
  standingStill_ = false;
}

void RunWorker::run() {
  Observer observer(*this);
  try {
    const std::unique_ptr<SourceDevice> source = open_(job_.SourcePath);
    RecoveryRequest request;
    request.Source = source.get();
    request.Mode = job_.Mode;
    request.OutputFolder = job_.OutputFolder;
    request.Header = ReadSampleHeader(job_.SampleCachePath);
    request.Deep = job_.Deep;
    request.ProgressFolder = job_.OutputFolder;
    request.Resume = job_.Resume;
    request.RepairHeaders = job_.Deep;
    // Deep recovery joins the pieces of fragmented recordings on the file system's clusters.
    request.Reassemble = job_.Deep;
    request.LoadGeometry = [](SourceDevice& source) { return sources::LoadClusterGeometry(source); };
    if (job_.Mode == ScanMode::FreeSpace) {
      try {
        request.Ranges = sources::LoadFreeExtents(job_.SourcePath).Ranges;
      } catch (const KorvidError& e) {
        emit Notice(QStringLiteral("无法读取剩余空间的分布, 将扫描整个恢复目标.\n") + QString::fromStdString(e.what()));
      }
    }
    RunRecovery(request, observer, report_);
  } catch (const std::exception& e) {
    error_ = QString::fromStdString(e.what());
  }
  emit Ended();
}

}  // namespace korvid::app
