#pragma once

#include <QModelIndex>

class QAbstractItemModel;
class QFileSystemModel;

namespace korvid::app {

// The folder views' models may be proxies over the folder model; these map through any chain of
// them. An index of the folder model itself comes back as it is.
QModelIndex ToFolderIndex(const QModelIndex& index);
QModelIndex FromFolderIndex(const QAbstractItemModel* view, const QModelIndex& folderIndex);
// The folder model under `view`, or null when there is none.
const QFileSystemModel* FolderModelOf(const QAbstractItemModel* view);

}  // namespace korvid::app
