#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <system_error>

#include "engine/errors.h"
#include "sources/open_source.h"

namespace korvid::sources {
namespace {

constexpr decltype(statfs::f_type) FuseMagic = 0x65735546;

class FileSource final : public SourceDevice {
 public:
  FileSource(std::string path, int fd, int64_t size, bool hints)
      : path_(std::move(path)), fd_(fd), size_(size), hints_(hints) {}
  ~FileSource() override { ::close(fd_); }

  const std::string& Path() const override { return path_; }
  int64_t Size() const override { return size_; }

  ReadResult ReadAt(int64_t offset, uint8_t* buffer, size_t length) override {
    ReadResult result;
    while (result.Bytes < length) {
      const ssize_t got = ::pread(fd_, buffer + result.Bytes, length - result.Bytes,
                                  static_cast<off_t>(offset + static_cast<int64_t>(result.Bytes)));
      if (got < 0) {
        if (errno == EINTR) continue;
        result.Error = errno;
        break;
      }
      if (got == 0) break;  // end of data
      result.Bytes += static_cast<size_t>(got);
      // A short read before the end of data: the disk failed on what follows, and asking for it
      // at once would try its bad sector a second time.
      if (result.Bytes < length && offset + static_cast<int64_t>(result.Bytes) < size_) {
        result.Error = EIO;
        break;
      }
    }
    return result;
  }

  void WillRead(int64_t offset, int64_t length) override {
    if (hints_) ::posix_fadvise(fd_, static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_WILLNEED);
  }

 private:
  std::string path_;
  int fd_;
  int64_t size_;
  bool hints_;
};

// A file served through FUSE may bypass the page cache (direct I/O): a hint would then read its
// bytes from the device once more instead of ahead of the read.
bool HintsHelp(int fd) {
  struct statfs fs {};
  return ::fstatfs(fd, &fs) != 0 || fs.f_type != FuseMagic;
}

[[noreturn]] void OpenFailed(const std::string& path, int error) {
  throw KorvidError(ErrorKind::OpenFailed, path, SystemErrorText(error));
}

// The whole disk that holds block device `device`: itself, or the parent of a partition.
dev_t WholeDisk(dev_t device) {
  const std::string sys =
      "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  std::error_code error;
  if (!std::filesystem::exists(sys + "/partition", error)) return device;
  std::ifstream parentDev(std::filesystem::canonical(sys, error).parent_path() / "dev");
  unsigned maj = 0, min = 0;
  char colon = 0;
  if (parentDev >> maj >> colon >> min && colon == ':') return makedev(maj, min);
  return device;
}

}  // namespace

std::unique_ptr<SourceDevice> OpenSource(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) OpenFailed(path, errno);
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int error = errno;
    ::close(fd);
    OpenFailed(path, error);
  }
  int64_t size = 0;
  if (S_ISBLK(info.st_mode)) {
    uint64_t bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) != 0) {
      const int error = errno;
      ::close(fd);
      OpenFailed(path, error);
    }
    size = static_cast<int64_t>(bytes);
  } else if (S_ISREG(info.st_mode)) {
    size = info.st_size;
  } else {
    ::close(fd);
    OpenFailed(path, S_ISDIR(info.st_mode) ? EISDIR : ENODEV);
  }
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  return std::make_unique<FileSource>(path, fd, size, HintsHelp(fd));
}

bool OutputOnSourceDevice(const std::string& sourcePath, const std::filesystem::path& outputFolder) {
  struct stat source {}, folder {};
  if (::stat(sourcePath.c_str(), &source) != 0 || !S_ISBLK(source.st_mode)) return false;
  if (::stat(outputFolder.c_str(), &folder) != 0) return false;
  return WholeDisk(source.st_rdev) == WholeDisk(folder.st_dev);
}

std::string FolderWriteProblem(const std::filesystem::path& folder) {
  return ::access(folder.c_str(), W_OK | X_OK) == 0 ? std::string() : SystemErrorText(errno);
}

}  // namespace korvid::sources
