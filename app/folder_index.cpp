#include "app/folder_index.h"

#include <QAbstractProxyModel>
#include <QFileSystemModel>

namespace korvid::app {

QModelIndex ToFolderIndex(const QModelIndex& index) {
  QModelIndex mapped = index;
  while (const auto* proxy = qobject_cast<const QAbstractProxyModel*>(mapped.model())) {
    mapped = proxy->mapToSource(mapped);
  }
  return mapped;
}

QModelIndex FromFolderIndex(const QAbstractItemModel* view, const QModelIndex& folderIndex) {
  const auto* proxy = qobject_cast<const QAbstractProxyModel*>(view);
  if (proxy == nullptr) return folderIndex;
  return proxy->mapFromSource(FromFolderIndex(proxy->sourceModel(), folderIndex));
}

const QFileSystemModel* FolderModelOf(const QAbstractItemModel* view) {
  while (const auto* proxy = qobject_cast<const QAbstractProxyModel*>(view)) view = proxy->sourceModel();
  return qobject_cast<const QFileSystemModel*>(view);
}

}  // namespace korvid::app
