#pragma once

#include <QListView>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include "app_test_support.h"
#include "picture_makers.h"

namespace korvid::app::testing {

// A window whose folder views make pictures with `maker`, its dialogs and boxes scripted.
struct PictureWindow {
  explicit PictureWindow(PictureMaker maker)
      : window({.Boxes = boxes,
                .Shell = shell,
                .ExecutablePath = QStringLiteral("/opt/korvid/korvid"),
                .TickCount = 1234,
                .OpenSource = sources::OpenSource,
                .CacheFolder = (cache.path() + QStringLiteral("/Cache")).toStdString(),
                .MakePicture = std::move(maker)}) {}

  // Chooses `folder` as the output folder, as the toolbar does, and waits for its `rows` items.
  void ShowFolder(const QString& folder, int rows) {
    shell.folder = folder;
    window.SaveBtnClick();
    QTRY_COMPARE(window.ShelllistIcons->model()->rowCount(window.ShelllistIcons->rootIndex()), rows);
  }

  // The row of `name` in the icon view.
  QModelIndex IconItem(const QString& name) const {
    const QAbstractItemModel* model = window.ShelllistIcons->model();
    const QModelIndex root = window.ShelllistIcons->rootIndex();
    for (int row = 0; row < model->rowCount(root); ++row) {
      const QModelIndex item = model->index(row, 0, root);
      if (item.data().toString() == name) return item;
    }
    return {};
  }

  ScriptedBoxes boxes;
  ScriptedShell shell;
  QTemporaryDir cache;
  TfrmMain window;
};

}  // namespace korvid::app::testing
