// The directory entries of the file systems on a source, live and deleted, read with The Sleuth
// Kit as `fls -r` and `fls -r -d` list them.
#include <optional>
#include <string>
#include <vector>

#include "sources/source_catalog.h"
#include "sources/tsk_image.h"

namespace korvid::sources {
namespace {

struct Walk {
  TSK_FS_INFO* Fs;
  int64_t ClusterSize;
  std::vector<SourceEntry>* Entries;
};

std::optional<int64_t> Seconds(time_t t) {
  if (t == 0) return std::nullopt;  // TSK's value for a time the entry does not hold
  return static_cast<int64_t>(t);
}

// The source offset of a file's first cluster: the first run of its data that lies on the
// volume. None for a file without data or whose clusters TSK cannot lay out.
std::optional<int64_t> FirstByte(TSK_FS_FILE* file, const TSK_FS_INFO* fs) {
  const TSK_FS_ATTR* data = tsk_fs_file_attr_get(file);
  if (data == nullptr || (data->flags & TSK_FS_ATTR_NONRES) == 0) {
    tsk_error_reset();
    return std::nullopt;
  }
  for (const TSK_FS_ATTR_RUN* run = data->nrd.run; run != nullptr; run = run->next) {
    if ((run->flags & (TSK_FS_ATTR_RUN_FLAG_FILLER | TSK_FS_ATTR_RUN_FLAG_SPARSE)) != 0) continue;
    return static_cast<int64_t>(fs->offset) + static_cast<int64_t>(run->addr) * fs->block_size;
  }
  return std::nullopt;
}

TSK_WALK_RET_ENUM AddEntry(TSK_FS_FILE* file, const char* /*path*/, void* context) {
  auto& walk = *static_cast<Walk*>(context);
  const TSK_FS_NAME* name = file->name;
  const TSK_FS_META* meta = file->meta;
  if (name == nullptr || meta == nullptr || meta->type != TSK_FS_META_TYPE_REG || meta->size <= 0) {
    return TSK_WALK_CONT;
  }
  // TSK's own entries ($MBR, $FAT1, $OrphanFiles, ...) are no files of the card.
  if (name->name == nullptr || name->name[0] == '$') return TSK_WALK_CONT;
  const std::optional<int64_t> first = FirstByte(file, walk.Fs);
  if (!first) return TSK_WALK_CONT;
  SourceEntry entry;
  // A deleted FAT short name has lost its first letter, and TSK shows it as "_" ("_HORT.AVI"); a
  // long name keeps it, as its own entries lose only their order byte, and exFAT the whole name.
  entry.Name = name->name;
  entry.Size = static_cast<uint64_t>(meta->size);
  entry.FirstByte = *first;
  entry.ClusterSize = walk.ClusterSize;
  entry.Deleted = (name->flags & TSK_FS_NAME_FLAG_UNALLOC) != 0;
  entry.Modified = Seconds(meta->mtime);
  entry.Created = Seconds(meta->crtime);
  entry.Accessed = Seconds(meta->atime);
  walk.Entries->push_back(std::move(entry));
  return TSK_WALK_CONT;
}

void ReadEntries(TSK_FS_INFO* fs, std::vector<SourceEntry>& entries) {
  const bool fat = TSK_FS_TYPE_ISFAT(fs->ftype) != 0;
  const std::optional<ClusterLayout> layout = fat ? FatLayout(fs) : BlockLayout(fs);
  if (!layout) return;
  Walk walk{fs, static_cast<int64_t>(layout->blocksPerCluster * fs->block_size), &entries};
  // Without the orphan search, which reads every sector of a FAT volume for lost entries.
  const auto flags = static_cast<TSK_FS_DIR_WALK_FLAG_ENUM>(TSK_FS_DIR_WALK_FLAG_ALLOC | TSK_FS_DIR_WALK_FLAG_UNALLOC |
                                                            TSK_FS_DIR_WALK_FLAG_RECURSE |
                                                            TSK_FS_DIR_WALK_FLAG_NOORPHAN);
  // A walk cut short by a damaged directory keeps the entries read before it.
  tsk_fs_dir_walk(fs, fs->root_inum, flags, AddEntry, &walk);
  tsk_error_reset();
}

}  // namespace

std::vector<SourceEntry> LoadSourceEntries(SourceDevice& source) {
  std::vector<SourceEntry> entries;
  ForEachFileSystemOf(source, [&](TSK_FS_INFO* fs) { ReadEntries(fs, entries); });
  return entries;
}

}  // namespace korvid::sources
