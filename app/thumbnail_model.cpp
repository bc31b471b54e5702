#include "app/thumbnail_model.h"

#include <QFileSystemModel>

#include "app/folder_index.h"
#include "app/thumbnails.h"

namespace korvid::app {

ThumbnailModel::ThumbnailModel(ThumbnailStore& store, QObject* parent) : QIdentityProxyModel(parent), store_(store) {
  connect(&store_, &ThumbnailStore::Ready, this, &ThumbnailModel::PictureReady);
}

QVariant ThumbnailModel::data(const QModelIndex& index, int role) const {
  if (role != Qt::DecorationRole || index.column() != 0) return QIdentityProxyModel::data(index, role);
  const QModelIndex item = ToFolderIndex(index);
  const auto* folder = qobject_cast<const QFileSystemModel*>(item.model());
  if (folder == nullptr || folder->isDir(item)) return QIdentityProxyModel::data(index, role);
  return store_.Lookup(folder->fileInfo(item)).Pixmap;
}

void ThumbnailModel::PictureReady(const QString& path) {
  const QFileSystemModel* folder = FolderModelOf(this);
  if (folder == nullptr) return;
  const QModelIndex item = FromFolderIndex(this, folder->index(path));
  if (item.isValid()) emit dataChanged(item, item, {Qt::DecorationRole});
}

}  // namespace korvid::app
