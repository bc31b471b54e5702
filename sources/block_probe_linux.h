#pragma once

#include <cstdint>
#include <optional>
#include <string>

// What a block device holds, as libblkid and The Sleuth Kit read it from the device itself.
namespace korvid::sources {

struct BlockProbe {
  std::string Type;         // file system: "vfat", "ext4", ...; empty when none or more than one was found
  std::string Label;        // empty when none
  std::string Uuid;         // as libblkid writes it: "1234-ABCD", a 16-digit NTFS serial, a 128-bit UUID
  std::string Usage;        // "filesystem", "raid", "crypto", "other"
  int Partitions = 0;       // entries of a partition table on the device itself; an empty table
                            // (what an exFAT boot sector also looks like) counts as none
  std::string EntryScheme;  // for a partition: its entry in the table of its disk ("dos", "gpt")
  std::string EntryType;    // and that entry's type ("0xc", a GPT type GUID)
};

// Nullopt when the device cannot be opened or read. Opens read-only.
std::optional<BlockProbe> ProbeBlockDevice(const std::string& devicePath);

// The length of the file system of libblkid type `type` on `devicePath` as the file system records
// it (its blocks times the block size); 0 when The Sleuth Kit does not know the type or cannot read
// it. Opens read-only.
int64_t FileSystemBytes(const std::string& devicePath, const std::string& type);

}  // namespace korvid::sources
