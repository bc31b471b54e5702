#include "sources/ext_allocation.h"

#include <algorithm>
#include <array>

// Where an uninitialised group's blocks are in use follows the Linux ext4 driver
// (ext4_init_block_bitmap and the helpers it uses), which is what decides it.
namespace korvid::sources {
namespace {

constexpr uint32_t CompatSparseSuper2 = 0x0200;
constexpr uint32_t IncompatMetaBg = 0x0010;
constexpr uint32_t Incompat64Bit = 0x0080;
constexpr uint32_t RoCompatSparseSuper = 0x0001;
constexpr uint32_t RoCompatGdtCsum = 0x0010;
constexpr uint32_t RoCompatMetadataCsum = 0x0400;
constexpr uint16_t GroupBlockUninit = 0x0002;

uint64_t LittleEndian(const uint8_t* bytes, int count) {
  uint64_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

struct Superblock {
  uint64_t blocksCount = 0;
  uint64_t firstDataBlock = 0;
  uint64_t blockSize = 0;
  uint64_t blocksPerGroup = 0;
  uint64_t inodeTableBlocks = 0;  // per group
  uint32_t compat = 0;
  uint32_t incompat = 0;
  uint32_t roCompat = 0;
  uint64_t reservedGdtBlocks = 0;
  uint64_t descSize = 0;
  uint64_t firstMetaBg = 0;
  std::array<uint64_t, 2> backupGroups{};  // sparse_super2
  uint64_t groupCount = 0;
  uint64_t descPerBlock = 0;
  uint64_t gdtBlocks = 0;
};

// Parses the superblock; an empty text means it is usable. (The Sleuth Kit opens no bigalloc
// file system, so a bit of the bitmap is always one block here.)
std::string ParseSuperblock(const uint8_t* s, Superblock& sb) {
  if (LittleEndian(s + 56, 2) != 0xEF53) return "no ext2/3/4 superblock";
  const uint64_t logBlockSize = LittleEndian(s + 24, 4);
  if (logBlockSize > 6) return "ext block size out of range";
  sb.blockSize = uint64_t{1024} << logBlockSize;
  sb.compat = static_cast<uint32_t>(LittleEndian(s + 92, 4));
  sb.incompat = static_cast<uint32_t>(LittleEndian(s + 96, 4));
  sb.roCompat = static_cast<uint32_t>(LittleEndian(s + 100, 4));
  sb.blocksCount = LittleEndian(s + 4, 4);
  if (sb.incompat & Incompat64Bit) sb.blocksCount |= LittleEndian(s + 336, 4) << 32;
  sb.firstDataBlock = LittleEndian(s + 20, 4);
  sb.blocksPerGroup = LittleEndian(s + 32, 4);
  const uint64_t inodesPerGroup = LittleEndian(s + 40, 4);
  const uint64_t revision = LittleEndian(s + 76, 4);
  const uint64_t inodeSize = revision == 0 ? 128 : LittleEndian(s + 88, 2);
  sb.inodeTableBlocks = (inodesPerGroup * inodeSize + sb.blockSize - 1) / sb.blockSize;
  sb.reservedGdtBlocks = LittleEndian(s + 206, 2);
  sb.descSize = (sb.incompat & Incompat64Bit) ? LittleEndian(s + 254, 2) : 32;
  sb.firstMetaBg = LittleEndian(s + 260, 4);
  sb.backupGroups = {LittleEndian(s + 588, 4), LittleEndian(s + 592, 4)};
  if (sb.blocksPerGroup == 0 || sb.blocksPerGroup > sb.blockSize * 8 || sb.descSize < 32 ||
      sb.descSize > sb.blockSize || sb.firstDataBlock >= sb.blocksCount) {
    return "ext superblock inconsistent";
  }
  sb.groupCount = (sb.blocksCount - sb.firstDataBlock + sb.blocksPerGroup - 1) / sb.blocksPerGroup;
  sb.descPerBlock = sb.blockSize / sb.descSize;
  sb.gdtBlocks = (sb.groupCount + sb.descPerBlock - 1) / sb.descPerBlock;
  return {};
}

bool IsPowerOf(uint64_t value, uint64_t base) {
  while (value >= base && value % base == 0) value /= base;
  return value == 1;
}

// Whether the group holds a copy of the superblock (and, without meta_bg, of the descriptors).
bool HasSuperblockCopy(const Superblock& sb, uint64_t group) {
  if (group == 0) return true;
  if (sb.compat & CompatSparseSuper2) return group == sb.backupGroups[0] || group == sb.backupGroups[1];
  if (group <= 1 || !(sb.roCompat & RoCompatSparseSuper)) return true;
  if (group % 2 == 0) return false;
  return IsPowerOf(group, 3) || IsPowerOf(group, 5) || IsPowerOf(group, 7);
}

// Blocks at the start of the group taken by the superblock copy and descriptor blocks.
uint64_t BaseMetaBlocks(const Superblock& sb, uint64_t group) {
  const bool metaBg = (sb.incompat & IncompatMetaBg) != 0;
  uint64_t blocks = HasSuperblockCopy(sb, group) ? 1 : 0;
  if (!metaBg || group < sb.firstMetaBg * sb.descPerBlock) {
    if (blocks != 0) blocks += (metaBg ? sb.firstMetaBg : sb.gdtBlocks) + sb.reservedGdtBlocks;
  } else {
    // meta_bg keeps one descriptor block in the first, second and last group of each meta group.
    const uint64_t index = group % sb.descPerBlock;
    if (index == 0 || index == 1 || index == sb.descPerBlock - 1) blocks += 1;
  }
  return blocks;
}

// Where the nth block of group descriptors lies.
uint64_t DescriptorBlock(const Superblock& sb, uint64_t n) {
  if (!(sb.incompat & IncompatMetaBg) || n < sb.firstMetaBg) return sb.firstDataBlock + 1 + n;
  const uint64_t group = sb.descPerBlock * n;
  return sb.firstDataBlock + group * sb.blocksPerGroup + (HasSuperblockCopy(sb, group) ? 1 : 0);
}

uint64_t DescriptorField(const uint8_t* desc, const Superblock& sb, int lowOffset, int highOffset) {
  uint64_t value = LittleEndian(desc + lowOffset, 4);
  if (sb.descSize >= 64) value |= LittleEndian(desc + highOffset, 4) << 32;
  return value;
}

// Collects free runs in ascending order, joining those that touch.
class RunCollector {
 public:
  void Add(uint64_t first, uint64_t end) {
    if (!runs_.empty() && runs_.back().second == first) {
      runs_.back().second = end;
    } else {
      runs_.emplace_back(first, end);
    }
  }
  std::vector<std::pair<uint64_t, uint64_t>> Take() { return std::move(runs_); }

 private:
  std::vector<std::pair<uint64_t, uint64_t>> runs_;
};

// Adds the blocks whose bit is clear (least significant bit first) to `free`.
void AddClearBits(const std::vector<uint8_t>& bitmap, uint64_t first, uint64_t count, RunCollector& free) {
  for (uint64_t i = 0; i < count;) {
    const uint8_t byte = bitmap[i / 8];
    if (i % 8 == 0 && count - i >= 8 && (byte == 0x00 || byte == 0xFF)) {
      if (byte == 0x00) free.Add(first + i, first + i + 8);
      i += 8;
      continue;
    }
    if (!(byte & (1u << (i % 8)))) free.Add(first + i, first + i + 1);
    ++i;
  }
}

// The bitmap the kernel builds for an uninitialised group: its base metadata and those of its
// own bitmaps and inode table that lie inside it (flex_bg puts them in another group).
std::vector<uint8_t> DerivedBitmap(const Superblock& sb, uint64_t group, uint64_t first, uint64_t count,
                                   const uint8_t* desc) {
  std::vector<uint8_t> bitmap((count + 7) / 8, 0);
  auto mark = [&](uint64_t from, uint64_t to) {
    for (uint64_t block = std::max(from, first); block < std::min(to, first + count); ++block) {
      bitmap[(block - first) / 8] |= static_cast<uint8_t>(1u << ((block - first) % 8));
    }
  };
  mark(first, first + BaseMetaBlocks(sb, group));
  const uint64_t blockBitmap = DescriptorField(desc, sb, 0, 32);
  const uint64_t inodeBitmap = DescriptorField(desc, sb, 4, 36);
  const uint64_t inodeTable = DescriptorField(desc, sb, 8, 40);
  mark(blockBitmap, blockBitmap + 1);
  mark(inodeBitmap, inodeBitmap + 1);
  mark(inodeTable, inodeTable + sb.inodeTableBlocks);
  return bitmap;
}

}  // namespace

ExtFreeBlocks ReadExtFreeBlocks(const FileSystemReader& read) {
  ExtFreeBlocks result;
  std::array<uint8_t, 1024> superblock{};
  if (!read(1024, superblock.data(), superblock.size())) {
    result.Error = "the ext superblock cannot be read";
    return result;
  }
  Superblock sb;
  if (result.Error = ParseSuperblock(superblock.data(), sb); !result.Error.empty()) return result;
  // Without descriptor checksums the kernel ignores the flag and every bitmap is written.
  const bool uninitHonoured = (sb.roCompat & (RoCompatGdtCsum | RoCompatMetadataCsum)) != 0;

  RunCollector free;
  std::vector<uint8_t> descriptors(sb.blockSize);
  std::vector<uint8_t> bitmap(sb.blockSize);
  for (uint64_t group = 0; group < sb.groupCount; ++group) {
    const uint64_t index = group % sb.descPerBlock;
    if (index == 0 && !read(DescriptorBlock(sb, group / sb.descPerBlock) * sb.blockSize, descriptors.data(),
                            descriptors.size())) {
      result.Error = "the ext group descriptors cannot be read";
      return result;
    }
    const uint8_t* desc = descriptors.data() + index * sb.descSize;
    const uint64_t first = sb.firstDataBlock + group * sb.blocksPerGroup;
    const uint64_t count = std::min(sb.blocksPerGroup, sb.blocksCount - first);
    if (uninitHonoured && (LittleEndian(desc + 18, 2) & GroupBlockUninit)) {
      AddClearBits(DerivedBitmap(sb, group, first, count, desc), first, count, free);
      continue;
    }
    const uint64_t bitmapBlock = DescriptorField(desc, sb, 0, 32);
    if (bitmapBlock >= sb.blocksCount || !read(bitmapBlock * sb.blockSize, bitmap.data(), bitmap.size())) {
      result.Error = "the ext block bitmap of group " + std::to_string(group) + " cannot be read";
      return result;
    }
    AddClearBits(bitmap, first, count, free);
  }
  result.Runs = free.Take();
  return result;
}

}  // namespace korvid::sources
