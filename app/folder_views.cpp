// The two views of the output folder, details and thumbnails, and the preview pane beside them.
#include <QFileSystemModel>
#include <QItemSelectionModel>
#include <QListView>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>

#include "app/folder_index.h"
#include "app/main_window.h"
#include "app/preview_pane.h"
#include "app/thumbnail_model.h"
#include "app/thumbnails.h"

namespace korvid::app {
namespace {

constexpr QSize ThumbnailBound(128, 96);

}  // namespace

QWidget* TfrmMain::BuildFolderViews() {
  auto* thumbnails = new ThumbnailStore(services_.MakePicture, ThumbnailBound, 4000);
  auto* thumbnailModel = new ThumbnailModel(*thumbnails, this);
  // The store goes with the model that looks pictures up in it, never before.
  thumbnails->setParent(thumbnailModel);
  thumbnailModel->setSourceModel(Shelllist->model());

  ShelllistIcons = new QListView(RzPanel1);
  ShelllistIcons->setObjectName(QStringLiteral("ShelllistIcons"));
  ShelllistIcons->setViewMode(QListView::IconMode);
  ShelllistIcons->setModel(thumbnailModel);
  ShelllistIcons->setIconSize(ThumbnailBound);
  // A fixed grid: pictures of any shape, and the loading look before them, keep the layout still.
  ShelllistIcons->setGridSize(ThumbnailBound + QSize(24, 36));
  ShelllistIcons->setResizeMode(QListView::Adjust);
  ShelllistIcons->setMovement(QListView::Static);
  ShelllistIcons->setWordWrap(true);
  ShelllistIcons->setSelectionMode(QAbstractItemView::ExtendedSelection);
  ShelllistIcons->setEditTriggers(QAbstractItemView::NoEditTriggers);

  FolderViews = new QStackedWidget(RzPanel1);
  FolderViews->setObjectName(QStringLiteral("FolderViews"));
  FolderViews->addWidget(Shelllist);
  FolderViews->addWidget(ShelllistIcons);

  Preview = new PreviewPane(services_.MakePicture, RzPanel1);
  Splitter3 = new QSplitter(Qt::Horizontal, RzPanel1);
  Splitter3->setObjectName(QStringLiteral("Splitter3"));
  Splitter3->setHandleWidth(3);
  Splitter3->setChildrenCollapsible(false);
  Splitter3->addWidget(FolderViews);
  Splitter3->addWidget(Preview);
  Splitter3->setStretchFactor(0, 1);
  Splitter3->setSizes({775, 220});

  BtnViewMode = new QToolButton(RzToolbar2);
  BtnViewMode->setObjectName(QStringLiteral("BtnViewMode"));
  BtnViewMode->setText(QStringLiteral("缩略图"));
  BtnViewMode->setToolButtonStyle(Qt::ToolButtonTextOnly);
  RzToolbar2->addWidget(BtnViewMode);
  connect(BtnViewMode, &QToolButton::clicked, this, &TfrmMain::BtnViewModeClick);

  connect(ShelllistIcons, &QListView::doubleClicked, this, [this](const QModelIndex& item) { ShelllistDblClickOpen(item); });
  for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(Shelllist), static_cast<QAbstractItemView*>(ShelllistIcons)}) {
    connect(view->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) { PreviewItem(current); });
  }
  return Splitter3;
}

void TfrmMain::ShowFolder(const QString& path) {
  const QModelIndex root = ShelllistModel->setRootPath(path);
  Shelllist->setRootIndex(FromFolderIndex(Shelllist->model(), root));
  ShelllistIcons->setRootIndex(FromFolderIndex(ShelllistIcons->model(), root));
  Preview->Show(QFileInfo());
}

void TfrmMain::BtnViewModeClick() {
  const bool toIcons = FolderViews->currentWidget() == Shelllist;
  FolderViews->setCurrentWidget(toIcons ? static_cast<QWidget*>(ShelllistIcons) : Shelllist);
  BtnViewMode->setText(toIcons ? QStringLiteral("详细信息") : QStringLiteral("缩略图"));
  const auto* shown = static_cast<QAbstractItemView*>(FolderViews->currentWidget());
  PreviewItem(shown->currentIndex());
}

void TfrmMain::PreviewItem(const QModelIndex& item) {
  const QModelIndex file = ToFolderIndex(item);
  Preview->Show(file.isValid() ? ShelllistModel->fileInfo(file) : QFileInfo());
}

}  // namespace korvid::app
