#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "engine/errors.h"
#include "engine/temp_folder.h"
#include "sources/source_catalog.h"
#include "sources/source_text.h"

// The catalog on real block devices: loop devices over image files made by the file systems' own
// tools. Attaching loop devices and mounting need root; elsewhere these tests are skipped. The
// kernel of the test machines has no FAT, exFAT or NTFS driver, so only ext4 is ever mounted.
namespace korvid::sources {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kMiB = 1024 * 1024;

struct CommandResult {
  bool Ok = false;
  std::string Output;  // standard output and error
};

CommandResult RunCommand(const std::string& command) {
  CommandResult result;
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.Output.append(buffer, got);
  result.Ok = ::pclose(pipe) == 0;
  return result;
}

::testing::AssertionResult Succeeds(const std::string& command) {
  const CommandResult result = RunCommand(command);
  if (result.Ok) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << command << " failed:\n" << result.Output;
}

std::string Quoted(const fs::path& path) {
  std::string quoted = "'";
  quoted += path.string();
  quoted += '\'';
  return quoted;
}

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// A loop device over an image file, detached (with any partitions added to it) at the end.
class LoopDevice {
 public:
  explicit LoopDevice(const fs::path& image) {
    const CommandResult result = RunCommand("losetup -f --show " + Quoted(image));
    if (result.Ok) {
      path_ = FirstLine(result.Output);
    } else {
      error_ = result.Output;
    }
  }
  ~LoopDevice() {
    // Partitions added by hand outlive the detach and would confuse the device's next user.
    if (partitioned_) RunCommand("partx -d " + path_);
    if (!path_.empty()) RunCommand("losetup -d " + path_);
  }
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  // The kernel here does not read the partition tables of loop devices; partx adds the partitions.
  CommandResult AddPartitions() {
    const CommandResult result = RunCommand("partx -a " + path_);
    partitioned_ = true;
    return result;
  }

  bool Attached() const { return !path_.empty(); }
  const std::string& Error() const { return error_; }
  const std::string& Path() const { return path_; }                // "/dev/loop3"
  std::string Name() const { return fs::path(path_).filename(); }  // "loop3"

 private:
  std::string path_;
  std::string error_;
  bool partitioned_ = false;
};

// A device mounted on a folder for as long as the object lives.
class Mount {
 public:
  Mount(const std::string& device, fs::path folder) : folder_(std::move(folder)) {
    fs::create_directories(folder_);
    const CommandResult result = RunCommand("mount " + device + " " + Quoted(folder_));
    mounted_ = result.Ok;
    error_ = result.Output;
  }
  ~Mount() {
    if (mounted_) RunCommand("umount " + Quoted(folder_));
  }
  Mount(const Mount&) = delete;
  Mount& operator=(const Mount&) = delete;

  bool Mounted() const { return mounted_; }
  const std::string& Error() const { return error_; }

 private:
  fs::path folder_;
  bool mounted_ = false;
  std::string error_;
};

struct Catalog {
  std::vector<DiskEntry> Disks;
  std::vector<TNTVolumeInfo> Volumes;
};

bool SameDisks(const std::vector<DiskEntry>& a, const std::vector<DiskEntry>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].Number != b[i].Number || a[i].DevicePath != b[i].DevicePath) return false;
  }
  return true;
}

// Disks and volumes read together. Tests in other processes attach and detach loop devices too,
// which renumbers loop disks; a reading is only taken when the disk list stayed the same across it.
Catalog ReadCatalog() {
  Catalog catalog;
  for (int attempt = 0; attempt < 5; ++attempt) {
    catalog = {ListDisks(), QueryVolumes()};
    if (SameDisks(catalog.Disks, ListDisks())) break;
  }
  return catalog;
}

const DiskEntry* FindDisk(const Catalog& catalog, const std::string& devicePath) {
  for (const DiskEntry& disk : catalog.Disks) {
    if (disk.DevicePath == devicePath) return &disk;
  }
  return nullptr;
}

// The volume with that device name, and its place in the list.
const TNTVolumeInfo* FindVolume(const Catalog& catalog, const std::string& drive, size_t* index = nullptr) {
  for (size_t i = 0; i < catalog.Volumes.size(); ++i) {
    if (catalog.Volumes[i].Drive != drive) continue;
    if (index != nullptr) *index = i;
    return &catalog.Volumes[i];
  }
  return nullptr;
}

uint64_t LittleEndianAt(const fs::path& file, uint64_t offset, int bytes) {
  std::ifstream in(file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(offset));
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(static_cast<uint8_t>(in.get())) << (8 * i);
  return value;
}

std::string Hex8(uint64_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08llX", static_cast<unsigned long long>(value & 0xFFFFFFFFu));
  return text;
}

// A number that a tool prints after "key:" on a line of its own.
uint64_t ToolValue(const std::string& output, const std::string& key) {
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind(key + ":", 0) == 0) return std::stoull(line.substr(key.size() + 1));
  }
  ADD_FAILURE() << "no \"" << key << "\" in:\n" << output;
  return 0;
}

class LoopCatalogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (FirstLine(RunCommand("id -u").Output) != "0") GTEST_SKIP() << "attaching loop devices needs root";
    if (!RunCommand("losetup -f").Ok) GTEST_SKIP() << "no free loop device";
  }

  fs::path Image(const std::string& name, uint64_t bytes) {
    const fs::path path = folder_ / name;
    std::ofstream(path).close();
    fs::resize_file(path, bytes);
    return path;
  }

  testing::TempFolder folder_;
};

TEST_F(LoopCatalogTest, BareFat32ImageIsADiskAndAVolume) {
  const fs::path image = Image("fat32.img", 64 * kMiB);
  ASSERT_TRUE(Succeeds("mkfs.vfat -F 32 -n KORVIDFAT -i 1234ABCD " + Quoted(image)));
  LoopDevice loop(image);
  ASSERT_TRUE(loop.Attached()) << loop.Error();

  const Catalog catalog = ReadCatalog();
  const DiskEntry* disk = FindDisk(catalog, loop.Path());
  ASSERT_NE(disk, nullptr) << loop.Path() << " is not listed as a disk";
  const std::string number = std::to_string(disk->Number);
  EXPECT_EQ(disk->Name, "PhysicalDrive" + number);
  EXPECT_EQ(disk->SizeBytes, 64 * kMiB);
  EXPECT_EQ(disk->MediaType, 12u);  // loop devices are not removable
  EXPECT_EQ(disk->Caption, "HD" + number + ", Fixed Drive, [64 MB]");

  const TNTVolumeInfo* volume = FindVolume(catalog, loop.Name());
  ASSERT_NE(volume, nullptr) << loop.Path() << " is not listed as a volume";
  EXPECT_EQ(volume->DevicePath, loop.Path());
  EXPECT_EQ(volume->VolumeLabel, "KORVIDFAT");
  EXPECT_EQ(volume->FileSystemName, "vfat");
  EXPECT_EQ(volume->SerialNumber, "1234ABCD");
  EXPECT_EQ(volume->DiskNumber, disk->Number);
  EXPECT_EQ(volume->DriveKind, "HD");
  EXPECT_EQ(volume->StartingOffset, 0);
  EXPECT_EQ(volume->ExtentLength, static_cast<int64_t>(64 * kMiB));
  // Not mounted: the size the boot sector records (total sectors times bytes per sector), nothing free.
  const uint64_t sectors =
      LittleEndianAt(image, 19, 2) != 0 ? LittleEndianAt(image, 19, 2) : LittleEndianAt(image, 32, 4);
  EXPECT_EQ(volume->TotalBytes, static_cast<int64_t>(sectors * LittleEndianAt(image, 11, 2)));
  EXPECT_GT(volume->TotalBytes, 0);
  EXPECT_EQ(volume->FreeBytes, 0);
  EXPECT_TRUE(KeepVolume(*volume));
}

TEST_F(LoopCatalogTest, AnUnboundLoopDeviceBelowIsSkippedNotAnEndOfTheNumbering) {
  auto lower = std::make_unique<LoopDevice>(Image("lower.img", 4 * kMiB));
  LoopDevice upper(Image("upper.img", 6 * kMiB));
  ASSERT_TRUE(lower->Attached()) << lower->Error();
  ASSERT_TRUE(upper.Attached()) << upper.Error();
  const std::string lowerPath = lower->Path();
  lower.reset();

  const Catalog catalog = ReadCatalog();
  EXPECT_EQ(FindDisk(catalog, lowerPath), nullptr);
  const DiskEntry* disk = FindDisk(catalog, upper.Path());
  ASSERT_NE(disk, nullptr);
  EXPECT_EQ(disk->SizeBytes, 6 * kMiB);
  // Numbers count the listed disks only, and loop devices come after every other disk.
  bool loopSeen = false;
  for (size_t i = 0; i < catalog.Disks.size(); ++i) {
    const DiskEntry& listed = catalog.Disks[i];
    EXPECT_EQ(listed.Number, i);
    EXPECT_EQ(listed.Name, "PhysicalDrive" + std::to_string(i));
    const bool isLoop = listed.DevicePath.starts_with("/dev/loop");
    EXPECT_FALSE(loopSeen && !isLoop) << listed.DevicePath << " listed after a loop device";
    loopSeen = loopSeen || isLoop;
  }
  // A loop device without file system holds no volume.
  EXPECT_EQ(FindVolume(catalog, upper.Name()), nullptr);
}

TEST_F(LoopCatalogTest, SourcePathOfADiskIsItsDeviceNode) {
  LoopDevice loop(Image("disk.img", 4 * kMiB));
  ASSERT_TRUE(loop.Attached()) << loop.Error();
  std::string found;
  for (int attempt = 0; attempt < 5 && found.empty(); ++attempt) {
    const std::vector<DiskEntry> disks = ListDisks();
    for (const DiskEntry& disk : disks) {
      if (disk.DevicePath != loop.Path()) continue;
      const std::string path = SourcePathFor(disk.Name);
      if (SameDisks(disks, ListDisks())) found = path;
    }
  }
  EXPECT_EQ(found, loop.Path());
}

TEST_F(LoopCatalogTest, BareExfatImageIsAVolumeThoughItsBootSectorLooksLikeAnEmptyTable) {
  const fs::path image = Image("exfat.img", 32 * kMiB);
  ASSERT_TRUE(Succeeds("mkfs.exfat -L KORVIDEX " + Quoted(image)));
  LoopDevice loop(image);
  ASSERT_TRUE(loop.Attached()) << loop.Error();

  const Catalog catalog = ReadCatalog();
  const TNTVolumeInfo* volume = FindVolume(catalog, loop.Name());
  ASSERT_NE(volume, nullptr);
  EXPECT_EQ(volume->FileSystemName, "exfat");
  EXPECT_EQ(volume->VolumeLabel, "KORVIDEX");
  EXPECT_EQ(volume->SerialNumber, Hex8(LittleEndianAt(image, 100, 4)));  // VolumeSerialNumber
  // VolumeLength in sectors of 2^BytesPerSectorShift bytes.
  EXPECT_EQ(volume->TotalBytes, static_cast<int64_t>(LittleEndianAt(image, 72, 8) << LittleEndianAt(image, 108, 1)));
}

TEST_F(LoopCatalogTest, NtfsSerialIsTheLowHalfOfItsSixtyFourBits) {
  const fs::path image = Image("ntfs.img", 16 * kMiB);
  ASSERT_TRUE(Succeeds("mkntfs -q -F -Q -L KORVIDNT " + Quoted(image)));
  LoopDevice loop(image);
  ASSERT_TRUE(loop.Attached()) << loop.Error();

  const Catalog catalog = ReadCatalog();
  const TNTVolumeInfo* volume = FindVolume(catalog, loop.Name());
  ASSERT_NE(volume, nullptr);
  EXPECT_EQ(volume->FileSystemName, "ntfs");
  EXPECT_EQ(volume->VolumeLabel, "KORVIDNT");
  EXPECT_EQ(volume->SerialNumber, Hex8(LittleEndianAt(image, 0x48, 8)));
  // Whole clusters of the sectors the boot sector records.
  const uint64_t recorded = LittleEndianAt(image, 0x28, 8) * LittleEndianAt(image, 0x0B, 2);
  const uint64_t cluster = LittleEndianAt(image, 0x0D, 1) * LittleEndianAt(image, 0x0B, 2);
  EXPECT_EQ(volume->TotalBytes, static_cast<int64_t>(recorded / cluster * cluster));
}

TEST_F(LoopCatalogTest, MountedExt4TakesItsSpaceFromTheMount) {
  const fs::path image = Image("ext4.img", 48 * kMiB);
  ASSERT_TRUE(Succeeds("mkfs.ext4 -q -F -L KORVIDEXT -E lazy_itable_init=0,lazy_journal_init=0 " + Quoted(image)));
  const CommandResult super = RunCommand("dumpe2fs -h " + Quoted(image));
  ASSERT_TRUE(super.Ok) << super.Output;
  LoopDevice loop(image);
  ASSERT_TRUE(loop.Attached()) << loop.Error();

  {
    const Catalog catalog = ReadCatalog();
    const TNTVolumeInfo* volume = FindVolume(catalog, loop.Name());
    ASSERT_NE(volume, nullptr);
    EXPECT_EQ(volume->FileSystemName, "ext4");
    EXPECT_EQ(volume->VolumeLabel, "KORVIDEXT");
    EXPECT_EQ(volume->SerialNumber, "");  // a 128-bit UUID is no 32-bit serial
    EXPECT_EQ(volume->TotalBytes,
              static_cast<int64_t>(ToolValue(super.Output, "Block count") * ToolValue(super.Output, "Block size")));
    EXPECT_EQ(volume->FreeBytes, 0);
  }

  // A space in the mount point: mountinfo writes it as \040.
  const fs::path folder = folder_ / "mount point";
  Mount mount(loop.Path(), folder);
  ASSERT_TRUE(mount.Mounted()) << mount.Error();
  const CommandResult space = RunCommand("stat -f -c '%b %S %a' " + Quoted(folder));
  ASSERT_TRUE(space.Ok) << space.Output;
  uint64_t blocks = 0, blockSize = 0, available = 0;
  std::istringstream(space.Output) >> blocks >> blockSize >> available;

  const Catalog catalog = ReadCatalog();
  const TNTVolumeInfo* volume = FindVolume(catalog, loop.Name());
  ASSERT_NE(volume, nullptr);
  EXPECT_EQ(volume->SerialNumber, "");
  EXPECT_EQ(volume->TotalBytes, static_cast<int64_t>(blocks * blockSize));
  EXPECT_EQ(volume->FreeBytes, static_cast<int64_t>(available * blockSize));
  EXPECT_GT(volume->FreeBytes, 0);
  EXPECT_EQ(volume->ExtentLength, static_cast<int64_t>(48 * kMiB));
}

// 40 MiB: a FAT partition at 1 MiB of 16 MiB, an extended partition at 18 MiB of 20 MiB, and in
// it a logical ext4 partition at 19 MiB of 8 MiB.
fs::path MakePartitionedImage(const fs::path& image) {
  const std::string table =
      "label: dos\\n"
      "start=2048, size=32768, type=c\\n"
      "start=36864, size=40960, type=5\\n"
      "start=38912, size=16384, type=83\\n";
  EXPECT_TRUE(Succeeds("printf '" + table + "' | sfdisk -q " + Quoted(image)));
  EXPECT_TRUE(Succeeds("mkfs.vfat -n PART1 -i 0BADF00D --offset 2048 " + Quoted(image) + " 16384"));
  EXPECT_TRUE(
      Succeeds("mkfs.ext4 -q -F -L PART5 -E offset=" + std::to_string(38912 * 512) + " " + Quoted(image) + " 8M"));
  return image;
}

TEST_F(LoopCatalogTest, PartitionedImageIsADiskNotAVolume) {
  const fs::path image = MakePartitionedImage(Image("card.img", 40 * kMiB));
  ASSERT_FALSE(HasFailure());
  LoopDevice loop(image);
  ASSERT_TRUE(loop.Attached()) << loop.Error();

  const Catalog catalog = ReadCatalog();
  const DiskEntry* disk = FindDisk(catalog, loop.Path());
  ASSERT_NE(disk, nullptr);
  EXPECT_EQ(disk->SizeBytes, 40 * kMiB);
  EXPECT_EQ(FindVolume(catalog, loop.Name()), nullptr);
  for (const TNTVolumeInfo& volume : catalog.Volumes) EXPECT_NE(volume.DevicePath, loop.Path());
}

TEST_F(LoopCatalogTest, PartitionsAreVolumesInTableOrderWithoutTheExtendedContainer) {
  const fs::path image = MakePartitionedImage(Image("card.img", 40 * kMiB));
  ASSERT_FALSE(HasFailure());
  LoopDevice loop(image);
  ASSERT_TRUE(loop.Attached()) << loop.Error();
  const CommandResult added = loop.AddPartitions();
  if (!added.Ok) GTEST_SKIP() << "partx cannot add partitions here: " << added.Output;

  const Catalog catalog = ReadCatalog();
  const DiskEntry* disk = FindDisk(catalog, loop.Path());
  ASSERT_NE(disk, nullptr);
  size_t firstIndex = 0, logicalIndex = 0;
  const TNTVolumeInfo* first = FindVolume(catalog, loop.Name() + "p1", &firstIndex);
  const TNTVolumeInfo* logical = FindVolume(catalog, loop.Name() + "p5", &logicalIndex);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(logical, nullptr);
  EXPECT_EQ(FindVolume(catalog, loop.Name() + "p2"), nullptr) << "the extended container is listed";
  EXPECT_EQ(FindVolume(catalog, loop.Name()), nullptr);
  EXPECT_LT(firstIndex, logicalIndex);

  EXPECT_EQ(first->DevicePath, loop.Path() + "p1");
  EXPECT_EQ(first->FileSystemName, "vfat");
  EXPECT_EQ(first->VolumeLabel, "PART1");
  EXPECT_EQ(first->SerialNumber, "0BADF00D");
  EXPECT_EQ(first->DiskNumber, disk->Number);
  EXPECT_EQ(first->StartingOffset, static_cast<int64_t>(1 * kMiB));
  EXPECT_EQ(first->ExtentLength, static_cast<int64_t>(16 * kMiB));
  EXPECT_EQ(first->TotalBytes, static_cast<int64_t>(16 * kMiB));

  EXPECT_EQ(logical->FileSystemName, "ext4");
  EXPECT_EQ(logical->VolumeLabel, "PART5");
  EXPECT_EQ(logical->DiskNumber, disk->Number);
  EXPECT_EQ(logical->StartingOffset, static_cast<int64_t>(19 * kMiB));
  EXPECT_EQ(logical->ExtentLength, static_cast<int64_t>(8 * kMiB));
  EXPECT_EQ(logical->TotalBytes, static_cast<int64_t>(8 * kMiB));
}

TEST(SourcePathFor, OtherTextsStayAsTheyAre) {
  EXPECT_EQ(SourcePathFor("/tmp/card.img"), "/tmp/card.img");
  EXPECT_EQ(SourcePathFor("/dev/sdb1"), "/dev/sdb1");
  EXPECT_EQ(SourcePathFor("D:\\a.img"), "D:\\a.img");
}

TEST(SourcePathFor, AnUnlistedDiskIsAnOpenFailure) {
  // Disks are numbered below 255, the number that means "no disk".
  for (const std::string text : {"PhysicalDrive255", "PhysicalDriveX", "PhysicalDrive"}) {
    try {
      SourcePathFor(text);
      ADD_FAILURE() << text << " gave a path";
    } catch (const KorvidError& error) {
      EXPECT_EQ(error.Kind(), ErrorKind::OpenFailed);
      EXPECT_EQ(error.Path(), text);
      EXPECT_EQ(error.SystemText(), SystemErrorText(ENODEV));
    }
  }
}

}  // namespace
}  // namespace korvid::sources
