// The output folder: its choice, and the view of the folder's items above the lower pane.
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHeaderView>
#include <QLineEdit>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QUrl>
#include <QVBoxLayout>

#include "app/folder_index.h"
#include "app/main_window.h"
#include "app/recovered_folder_model.h"
#include "app/tool_icons.h"

namespace korvid::app {

void TfrmMain::BuildOutputFolderPanel() {
  RzPanel1 = new QWidget(this);
  RzPanel1->setObjectName(QStringLiteral("RzPanel1"));
  auto* layout = new QVBoxLayout(RzPanel1);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  RzToolbar2 = new QToolBar(RzPanel1);
  RzToolbar2->setObjectName(QStringLiteral("RzToolbar2"));
  RzToolbar2->setFixedHeight(29);
  RzToolbar2->setIconSize(QSize(16, 16));
  BtnMoveLeft = new QToolButton(RzToolbar2);
  BtnMoveLeft->setObjectName(QStringLiteral("BtnMoveLeft"));
  BtnMoveLeft->setText(QStringLiteral("Move Left"));
  BtnMoveLeft->setToolTip(BtnMoveLeft->text());
  BtnMoveLeft->setIcon(MakeToolIcon(ToolIcon::Up));
  BtnMoveLeft->setToolButtonStyle(Qt::ToolButtonIconOnly);
  connect(BtnMoveLeft, &QToolButton::clicked, this, &TfrmMain::BtnMoveLeftClick);
  RzToolbar2->addWidget(BtnMoveLeft);
  // Shows the view's folder; typing into it changes nothing.
  Destination = new QLineEdit(RzToolbar2);
  Destination->setObjectName(QStringLiteral("Destination"));
  Destination->setReadOnly(true);
  RzToolbar2->addWidget(Destination);
  layout->addWidget(RzToolbar2);

  // The model watches the folder it shows, so files that a run writes appear by themselves.
  ShelllistModel = new RecoveredFolderModel(this);
  ShelllistModel->setFilter(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::AllDirs);
  Shelllist = new QTreeView(RzPanel1);
  Shelllist->setObjectName(QStringLiteral("Shelllist"));
  Shelllist->setModel(ShelllistModel);
  Shelllist->setRootIsDecorated(false);
  Shelllist->setItemsExpandable(false);
  Shelllist->setSortingEnabled(true);
  Shelllist->sortByColumn(0, Qt::AscendingOrder);
  Shelllist->setSelectionMode(QAbstractItemView::ExtendedSelection);
  Shelllist->setEditTriggers(QAbstractItemView::NoEditTriggers);
  Shelllist->setExpandsOnDoubleClick(false);
  // Widths that fit the nine columns in the window's first size.
  for (const auto& [column, width] : {std::pair{0, 150}, {1, 70}, {2, 70}, {3, 105}, {RecoveredFolderModel::RecordedAs, 170},
                                     {RecoveredFolderModel::RecordingTime, 125}, {RecoveredFolderModel::Duration, 45},
                                     {RecoveredFolderModel::Frames, 50}}) {
    Shelllist->header()->resizeSection(column, width);
  }
  layout->addWidget(BuildFolderViews(), 1);

  connect(ShelllistModel, &QFileSystemModel::rootPathChanged, this, &TfrmMain::ShelllistChange);
  connect(Shelllist, &QTreeView::doubleClicked, this, [this](const QModelIndex& item) { ShelllistDblClickOpen(item); });

  ShowFolder(QDir::homePath());
}

bool TfrmMain::BrowseForFolder(QWidget* owner, const QString& prompt, QString& path) {
  const std::optional<QString> chosen = services_.Shell.ChooseFolder(owner, prompt);
  path = chosen.value_or(QString());
  return chosen.has_value();
}

void TfrmMain::SaveBtnClick() {
  QString path;
  if (!BrowseForFolder(this, QStringLiteral("选择保存路径: "), path)) return;
  Edit1->setText(path);
  ShowFolder(path);
  Destination->setText(path);
}

void TfrmMain::ShelllistChange() {
  Destination->setText(QDir::toNativeSeparators(ShelllistModel->rootPath()));
}

bool TfrmMain::ShelllistDblClickOpen(const QModelIndex& item) {
  const QModelIndex file = ToFolderIndex(item);
  const QString path = ShelllistModel->filePath(file);
  if (ShelllistModel->isDir(file)) {
    ShowFolder(path);
    return true;
  }
  const QString suffix = QFileInfo(path).suffix();
  const QString extension = suffix.isEmpty() ? QString() : QLatin1Char('.') + suffix.toLower();
  if (extension == QLatin1String(".mdb") &&
      !services_.Boxes.Ask(this, QStringLiteral("重组"), QStringLiteral("是否将修复后的数据库文件导入重组?"))) {
    return false;
  }
  services_.Shell.Open(QUrl::fromLocalFile(path));
  return true;
}

void TfrmMain::BtnMoveLeftClick() {
  QDir folder(ShelllistModel->rootPath());
  if (!folder.cdUp()) return;
  ShowFolder(folder.absolutePath());
}

}  // namespace korvid::app
