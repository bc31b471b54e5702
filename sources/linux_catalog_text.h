#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The rules of the Linux disk and volume catalog that read text only: block device names from
// /sys/block, lines of /proc/self/mountinfo and the identifiers that libblkid reports. Kept apart
// from the system calls so that they can be tested without devices.
namespace korvid::sources {

// What a /sys/block name says about a whole block device.
enum class BlockNameKind {
  Disk,     // may be a disk of the menu: sd*, nvme*n*, mmcblk*, vd*, xvd*, ...
  Loop,     // loop*: a disk only while it has a backing file
  Optical,  // sr*: never a disk, but its medium may hold a volume
  Other,    // memory disks, stacked devices (device mapper, software RAID), floppies, eMMC boot areas
};
BlockNameKind ClassifyBlockName(std::string_view name);

// The disk order: loop devices after every other device (attaching an image does not renumber
// the real disks), otherwise natural order: digit runs compare by value, letter runs shorter first
// and then alphabetically, so that sdz comes before sdaa and nvme0n2 before nvme0n10.
bool DeviceNameLess(std::string_view a, std::string_view b);

// The /dev node of a /sys/block name; sysfs writes "!" where the node path has "/".
std::string DevicePathForBlockName(std::string_view name);

// One line of /proc/self/mountinfo, the fields the catalog uses.
struct MountEntry {
  uint32_t Major = 0;  // device number of the mounted file system
  uint32_t Minor = 0;
  std::string MountPoint;
  std::string FileSystemType;
  std::string Source;  // "/dev/sdb1", or whatever the file system names there
};

// Nullopt for a line that does not have the shape of a mountinfo line.
std::optional<MountEntry> ParseMountInfoLine(std::string_view line);

// Undoes the octal escapes of mountinfo fields ("\040" space, "\011" tab, "\012" newline,
// "\134" backslash); a backslash not followed by three octal digits stays as it is.
std::string UnescapeMountField(std::string_view field);

// The volume serial as 8 upper-case hexadecimal digits from libblkid's TYPE and UUID values, where
// the file system has a 32-bit serial: "1234-ABCD" (FAT, exFAT) gives "1234ABCD"; NTFS has a 64-bit
// serial of which Windows shows the low 32 bits, the last 8 of blkid's 16 digits. Empty otherwise
// (ext4 and the like carry a 128-bit UUID).
std::string VolumeSerialFromBlkid(std::string_view type, std::string_view uuid);

// True for a partition-table entry that only contains further partitions (MBR types 0x05, 0x0f
// and 0x85, libblkid's PART_ENTRY_SCHEME and PART_ENTRY_TYPE): a container, not a volume.
bool IsExtendedPartitionEntry(std::string_view scheme, std::string_view type);

}  // namespace korvid::sources
