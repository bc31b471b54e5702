// The run commands of the window: starting a run, its busy state, Pause, Stop, the remaining
// time, and what the window shows when the run has ended.
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QStackedLayout>
#include <QTextEdit>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

#include "app/main_window.h"
#include "app/path_text.h"
#include "app/run_outcome.h"
#include "engine/rescue/progress_file.h"
#include "sources/open_source.h"

namespace korvid::app {
namespace {

void SetGauge(QProgressBar* gauge, const GaugeScale& scale, int64_t progress) {
  gauge->setRange(0, scale.Maximum());
  gauge->setValue(scale.Value(progress));
}

}  // namespace

void TfrmMain::RunBtnClick() {
  StartRun(ScanMode::Container);
}

void TfrmMain::N9Click() {
  StartRun(ScanMode::WholeDisk);
}

void TfrmMain::N10Click() {
  StartRun(ScanMode::FreeSpace);
}

bool TfrmMain::InputsChosen(ScanMode mode) {
  if (Source->text().isEmpty()) {
    services_.Boxes.Inform(this, QStringLiteral("请选择恢复目标!"));
    return false;
  }
  if (Edit1->text() == QString::fromUtf8(NoOutputFolderText)) {
    services_.Boxes.Inform(this, QStringLiteral("请选择保存路径!"));
    return false;
  }
  if (SampleCachePath.isEmpty()) {
    services_.Boxes.Inform(this, QStringLiteral("请选择样本文件!"));
    return false;
  }
  if (!SampleServesMode(SampleCacheKind, mode)) {
    services_.Boxes.Inform(this, SampleCacheKind == SampleKind::Avi
                                     ? QStringLiteral("恢复MP4、MOV、3GP和MXF文件需要同一设备录制的MP4、MOV或MXF样本!\n"
                                                      "AVI录像请用全盘恢复或恢复剩余空间.")
                                     : QStringLiteral("全盘恢复和恢复剩余空间恢复AVI录像, 需要同一设备录制的AVI样本!\n"
                                                      "MP4、MOV和MXF录像请用恢复."));
    return false;
  }
  return true;
}

void TfrmMain::StartRun(ScanMode mode) {
  if (Running() || !InputsChosen(mode)) return;
  // Writing onto the device being recovered overwrites what is to be recovered.
  if (sources::OutputOnSourceDevice(SourcePath, ToPath(Edit1->text())) &&
      !services_.Boxes.Ask(this, QStringLiteral("保存路径"),
                           QStringLiteral("保存路径位于要恢复的磁盘上, 写入恢复的文件会覆盖尚未恢复的数据.\n是否继续?"))) {
    return;
  }
  // An interrupted run of this source left its progress here: the user may go on with it.
  const ProgressFile progress(ToPath(Edit1->text()));
  const bool resume = progress.SavedSourceSize() == SourceSize &&
                      services_.Boxes.Ask(this, QStringLiteral("继续恢复"),
                                          QStringLiteral("保存路径中有上次未完成的恢复进度.\n是否从上次停止的地方继续?"));
  BeginRun();
  StopRequested = false;
  SetGauge(gg, GaugeScale(SourceSize, 1024), 0);

  RunJob job;
  job.SourcePath = SourcePath;
  job.Mode = mode;
  job.OutputFolder = ToPath(Edit1->text());
  job.SampleCachePath = ToPath(SampleCachePath);
  job.Deep = mode != ScanMode::Container && DeepRecovery->isChecked();
  job.Resume = resume;
  runner_ = std::make_unique<RunWorker>(std::move(job), services_.OpenSource, StopRequested);
  ConnectRunSignals();
  runner_->start();
}

void TfrmMain::ConnectRunSignals() {
  RunWorker* worker = runner_.get();
  connect(worker, &RunWorker::ScanProgress, this, [this](qint64 scanned, qint64 total) {
    SetGauge(gg, GaugeScale(total, 1024), scanned);
  });
  connect(worker, &RunWorker::FragmentsFound, this, [this](quint64 count) {
    SegLabel->setText(QStringLiteral("碎片: ") + QString::number(count));
  });
  // The gauge runs through the retries of a failing disk's bad areas, through the joining of a
  // fragmented recording's pieces, then again through the writing.
  for (auto progress : {&RunWorker::WriteProgress, &RunWorker::JoinProgress, &RunWorker::RetryProgress}) {
    connect(worker, progress, this, [this](quint64 done, quint64 count) {
      SetGauge(gg, GaugeScale(static_cast<int64_t>(count), 1), static_cast<int64_t>(done));
    });
  }
  connect(worker, &RunWorker::Notice, this, [this](const QString& text) { services_.Boxes.Inform(this, text); });
  connect(worker, &RunWorker::Ended, this, &TfrmMain::RunFinished);
}

void TfrmMain::RunFinished() {
  const std::unique_ptr<RunWorker> worker = std::move(runner_);
  worker->wait();
  gg->setValue(0);
  EndRun();
  ShowOutcome(worker->Report(), worker->Error());
  if (!worker->Error().isEmpty()) services_.Boxes.ReportError(this, worker->Error());
  emit RunEnded();
  if (closeWhenRunEnds_) close();
}

void TfrmMain::ShowOutcome(const RecoveryReport& report, const QString& error) {
  static_cast<QStackedLayout*>(RzPanel2->layout())->setCurrentWidget(ScanLog);
  ScanLog->append(RunOutcomeText(report, error, Edit1->text()));
}

std::array<QWidget*, 9> TfrmMain::RunInputs() const {
  return {Source, Edit1, ToolBoxBtn, RecBtn, SaveBtn, RunBtn, UpdateBtn, SupportBtn, BtnSelectAll};
}

void TfrmMain::BeginRun() {
  for (QWidget* input : RunInputs()) input->setEnabled(false);
  Remaining.Begin();
  ElapsedTime->start();
}

void TfrmMain::EndRun() {
  for (QWidget* input : RunInputs()) input->setEnabled(true);
  ElapsedTime->stop();
  TimeLabel->setText(QString::fromUtf8(RemainingTimeIdleText));
  Shelllist->viewport()->update();
}

void TfrmMain::PauseBtnClick() {
  // The run stands still at its next chunk border until the question is answered.
  if (runner_) runner_->Pause();
  const bool goOn = services_.Boxes.Ask(this, QStringLiteral("暂停"), QStringLiteral("是否继续？"));
  if (!goOn) StopRequested = true;
  if (runner_) runner_->Resume();
}

void TfrmMain::StopBtnClick() {
  StopRequested = true;
  gg->setValue(0);
}

void TfrmMain::ElapsedTimeTimer() {
  if (const std::optional<std::string> text = Remaining.Tick(gg->value(), gg->maximum())) {
    TimeLabel->setText(QString::fromStdString(*text));
  }
}

}  // namespace korvid::app
