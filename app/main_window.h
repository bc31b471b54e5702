#pragma once

#include <QMainWindow>
#include <QString>
#include <QUrl>
#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "app/picture_maker.h"
#include "app/preview/keyframe_picture.h"
#include "app/run_worker.h"
#include "app/themes.h"
#include "app/vendor_info.h"
#include "engine/run_control.h"
#include "engine/scan_driver.h"
#include "ui/message_boxes.h"

class QAction;
class QFileDialog;
class QFileSystemModel;
class QLabel;
class QLineEdit;
class QListView;
class QMenu;
class QModelIndex;
class QProgressBar;
class QPushButton;
class QSplitter;
class QStackedWidget;
class QStatusBar;
class QSystemTrayIcon;
class QTextEdit;
class QTimer;
class QToolBar;
class QToolButton;
class QTreeView;

namespace korvid::online {
class TForm3;
class UpdateCheck;
}  // namespace korvid::online

namespace korvid::app {

class PreviewPane;

// What the window gets from outside; tests hand in their own.
struct MainWindowServices {
  ui::MessageBoxes& Boxes;
  ui::ShellServices& Shell;
  QString ExecutablePath;           // gives ProgramName, and the folder of "help.chm"
  uint64_t TickCount = 0;           // picks the theme
  SourceOpener OpenSource;          // opens the source of a run
  std::filesystem::path CacheFolder;  // where sample headers are cached
  QUrl UpdateServer = QUrl(QString::fromUtf8(vendor::UpdateServer));    // tests use servers of their own
  QUrl ServiceServer = QUrl(QString::fromUtf8(vendor::ServiceServer));
  PictureMaker MakePicture = preview::FirstKeyframePicture;  // the pictures of the folder's files; tests use their own
};

// The text of Edit1 while no output folder has been chosen.
inline constexpr const char* NoOutputFolderText = "...点击选择目录...";

// The main window: all run state of the program and the handlers of its controls. The
// controls are public so that tests can look at them as a user would.
class TfrmMain final : public QMainWindow {
  Q_OBJECT

 public:
  explicit TfrmMain(MainWindowServices services, QWidget* parent = nullptr);
  ~TfrmMain() override;

  // True from the start of a run until its closing steps have run.
  bool Running() const { return runner_ != nullptr; }
  // The run in progress, or none.
  RunWorker* Runner() const { return runner_.get(); }

  // Program state.
  QString ProgramName;
  std::string SourcePath;
  int64_t SourceSize = 0;
  QString SampleCachePath;
  SampleKind SampleCacheKind = SampleKind::Avi;  // what the cached sample is, which decides the modes it serves
  std::atomic<bool> StopRequested{false};
  RemainingTime Remaining;  // holds ElapsedTicks

  // Toolbar and menus.
  QToolBar* RzToolbar1 = nullptr;
  QToolButton* ToolBoxBtn = nullptr;
  QToolButton* RecBtn = nullptr;
  QToolButton* SaveBtn = nullptr;
  QToolButton* BtnSelectAll = nullptr;
  QToolButton* RunBtn = nullptr;
  QToolButton* PauseBtn = nullptr;
  QToolButton* StopBtn = nullptr;
  QToolButton* UpdateBtn = nullptr;
  QToolButton* SupportBtn = nullptr;
  QToolButton* helpBtn = nullptr;
  QToolButton* ExitBtn = nullptr;
  QMenu* pop = nullptr;
  QMenu* PopupMenu2 = nullptr;
  QMenu* PopForTools = nullptr;
  QAction* N9 = nullptr;
  QAction* N10 = nullptr;
  QAction* DeepRecovery = nullptr;
  QAction* N2 = nullptr;
  QAction* N4 = nullptr;
  QAction* Update1 = nullptr;
  QAction* N5 = nullptr;

  // Output folder panel.
  QWidget* RzPanel1 = nullptr;
  QToolBar* RzToolbar2 = nullptr;
  QToolButton* BtnMoveLeft = nullptr;
  QLineEdit* Destination = nullptr;
  QTreeView* Shelllist = nullptr;
  QFileSystemModel* ShelllistModel = nullptr;
  QSplitter* Splitter2 = nullptr;
  // The folder as thumbnails beside Shelllist, one of them shown, and the preview of the current file.
  QToolButton* BtnViewMode = nullptr;
  QStackedWidget* FolderViews = nullptr;
  QListView* ShelllistIcons = nullptr;
  QSplitter* Splitter3 = nullptr;
  PreviewPane* Preview = nullptr;

  // Lower pane.
  QWidget* RzPanel2 = nullptr;
  QWidget* Panel1 = nullptr;
  QPushButton* RzBitBtn1 = nullptr;
  QPushButton* RzBitBtn2 = nullptr;
  QPushButton* RzBitBtn3 = nullptr;
  QLabel* sLabelFX1 = nullptr;
  QLabel* sLabelFX2 = nullptr;
  QTextEdit* ScanLog = nullptr;

  // Status bar.
  QStatusBar* RzStatusBar1 = nullptr;
  QLabel* TimeLabel = nullptr;
  QLabel* SegLabel = nullptr;
  QLineEdit* Source = nullptr;
  QLineEdit* Edit1 = nullptr;
  QProgressBar* gg = nullptr;

  QSystemTrayIcon* Tray = nullptr;
  QFileDialog* od = nullptr;
  QTimer* ElapsedTime = nullptr;
  ThemeManager sm;
  // The service request window, created hidden with the main window.
  online::TForm3* Form3 = nullptr;

  // Commands.
  void RecBtnDropDown();
  void SourceMenuClick(QAction* item);
  void SourceChange();
  void SaveBtnClick();
  bool BrowseForFolder(QWidget* owner, const QString& prompt, QString& path);
  void ShelllistChange();
  // Returns whether the item was opened.
  bool ShelllistDblClickOpen(const QModelIndex& item);
  void BtnMoveLeftClick();
  void BtnViewModeClick();
  void BtnSelectAllClick();
  void RunBtnClick();
  void N9Click();
  void N10Click();
  void PauseBtnClick();
  void StopBtnClick();
  void UpdateBtnClick();
  void ElapsedTimeTimer();
  void BeginRun();
  void EndRun();
  void N2Click();
  void N4Click();
  void Update1Click();
  void N5Click();
  void ExitBtnClick();
  void helpBtnClick();
  void SupportBtnClick();
  void RzBitBtn1Click();
  void RzBitBtn2Click();
  void RzBitBtn3Click();
  void sLabelFX1Click();
  void sLabelFX2Click();

 signals:
  // A run has gone through its closing steps.
  void RunEnded();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void FormCreate();
  void BuildToolbar();
  void BuildMainMenu();
  void BuildPanels();
  void BuildOutputFolderPanel();
  // The views of the folder with the preview beside them, for the output folder panel.
  QWidget* BuildFolderViews();
  // Shows `path` in both views of the folder.
  void ShowFolder(const QString& path);
  void PreviewItem(const QModelIndex& item);
  void BuildLowerPane();
  void BuildStatusBar();
  void BuildTray();
  void ConnectRunSignals();
  // Clears what another command left in the open-file dialog: suffix, file name, filters.
  void ClearOpenDialog();

  // The run commands share everything but their mode.
  void StartRun(ScanMode mode);
  bool InputsChosen(ScanMode mode);
  // The controls that a run or a sample choice disables, in the order they are disabled.
  std::array<QWidget*, 9> RunInputs() const;
  void RunFinished();
  void ShowOutcome(const RecoveryReport& report, const QString& error);
  void OpenPage(const char* address);

  MainWindowServices services_;
  std::unique_ptr<RunWorker> runner_;
  std::unique_ptr<online::UpdateCheck> updateCheck_;
  bool closeWhenRunEnds_ = false;
};

}  // namespace korvid::app
