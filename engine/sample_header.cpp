#include "sample_header.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string_view>
#include <system_error>
#include <thread>

#include "big_endian.h"
#include "errors.h"
#include "file_path.h"
#include "iso_media/movie_box.h"
#include "iso_media/top_level_walk.h"
#include "mxf/klv_walk.h"
#include "output_file.h"
#include "source_bytes.h"
#include "source_device.h"

namespace korvid {
namespace {

constexpr int kRenameAttempts = 20;
// An MXF sample's header partition pack is cached when it is no larger than this.
constexpr int64_t MaxMxfSampleHead = 1 << 20;
// A sample's movie box is read whole into memory: larger than this it is no camera's.
constexpr int64_t MaxMovieBox = 512ll << 20;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

FileHandle OpenForReading(const std::filesystem::path& path) {
  errno = 0;
  FileHandle file(OpenFile(path, "rb"));
  if (!file) throw KorvidError(ErrorKind::OpenFailed, PathText(path), SystemErrorText(errno));
  return file;
}

// Reads exactly `length` bytes or raises ReadFailed.
void ReadExactly(std::FILE* file, const std::filesystem::path& path, uint8_t* data, size_t length) {
  errno = 0;
  if (std::fread(data, 1, length, file) != length) {
    const int error = std::ferror(file) && errno != 0 ? errno : EIO;
    throw KorvidError(ErrorKind::ReadFailed, PathText(path),
                      std::ferror(file) ? SystemErrorText(error) : "The file ended early.");
  }
}

// Writes the cache file for `sample`. An existing one of that name is replaced in one step once
// the new one is complete, so a concurrent run never sees half a header.
SampleHeader WriteCache(const std::filesystem::path& sample, std::vector<uint8_t> bytes,
                        const std::filesystem::path& cacheFolder) {
  std::error_code ignored;
  std::filesystem::create_directories(cacheFolder, ignored);  // a failure shows on create below

  SampleHeader header;
  header.CachePath = cacheFolder / sample.filename();
  header.CachePath += ".bin";
  header.Bytes = std::move(bytes);
  // A name of this run's own for the partial file: runs with samples of the same name may
  // cache at the same time.
  std::filesystem::path partial = header.CachePath;
  partial += ".part" + std::to_string(std::random_device{}());
  try {
    OutputFile out(partial);
    out.Write(header.Bytes.data(), header.Bytes.size());
    out.Close();
    // Windows refuses to replace a file while another run is replacing it at that moment
    // (access denied); the other run is done within moments, so the rename is tried again.
    std::error_code renameError;
    for (int attempt = 0; attempt < kRenameAttempts; ++attempt) {
      std::filesystem::rename(partial, header.CachePath, renameError);
      if (renameError != std::errc::permission_denied) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (renameError) {
      throw KorvidError(ErrorKind::CreateFailed, PathText(header.CachePath), renameError.message());
    }
  } catch (...) {
    std::filesystem::remove(partial, ignored);
    throw;
  }
  return header;
}

// A sample file read as a source, so that its boxes are walked as a medium's are.
class SampleFile : public SourceDevice {
 public:
  explicit SampleFile(const std::filesystem::path& path) : path_(PathText(path)), file_(OpenForReading(path)) {
    std::error_code error;
    size_ = static_cast<int64_t>(std::filesystem::file_size(path, error));
    if (error) throw KorvidError(ErrorKind::ReadFailed, path_, error.message());
  }
  const std::string& Path() const override { return path_; }
  int64_t Size() const override { return size_; }
  ReadResult ReadAt(int64_t offset, uint8_t* buffer, size_t length) override {
    ReadResult result;
    if (SeekFile(file_.get(), offset) != 0) {
      result.Error = EIO;
      return result;
    }
    result.Bytes = std::fread(buffer, 1, length, file_.get());
    if (result.Bytes < length && std::ferror(file_.get())) result.Error = EIO;
    return result;
  }

 private:
  std::string path_;
  FileHandle file_;
  int64_t size_ = 0;
};

}  // namespace

uint32_t FindHeaderLength(const std::filesystem::path& sample) {
  static constexpr std::string_view kMovi = "movi";
  static constexpr size_t kCarry = kMovi.size() - 1;
  const FileHandle file = OpenForReading(sample);

  // Each piece is searched behind the last three bytes of the one before, so that a "movi"
  // across a piece border is found too.
  std::vector<uint8_t> window(kCarry + SamplePieceSize);
  size_t carried = 0;
  uint64_t windowStart = 0;  // sample offset of window[0]
  for (;;) {
    errno = 0;
    const size_t got = std::fread(window.data() + carried, 1, SamplePieceSize, file.get());
    if (got == 0) {
      if (std::ferror(file.get())) {
        throw KorvidError(ErrorKind::ReadFailed, PathText(sample), SystemErrorText(errno ? errno : EIO));
      }
      break;
    }
    const size_t filled = carried + got;
    const auto begin = window.begin();
    const auto hit = std::search(begin, begin + filled, kMovi.begin(), kMovi.end());
    if (hit != begin + filled) {
      const uint64_t length = windowStart + static_cast<uint64_t>(hit - begin) + kMovi.size();
      if (length > UINT32_MAX) break;
      return static_cast<uint32_t>(length);
    }
    if (windowStart + filled > UINT32_MAX) break;
    const size_t keep = std::min(kCarry, filled);
    std::memmove(window.data(), window.data() + filled - keep, keep);
    windowStart += filled - keep;
    carried = keep;
  }
  throw KorvidError(ErrorKind::NoMovi, PathText(sample),
                    "Choose an intact AVI file recorded by the same device.");
}

SampleHeader CacheSampleHeader(const std::filesystem::path& sample, uint32_t headerLength,
                               const std::filesystem::path& cacheFolder) {
  std::vector<uint8_t> bytes(headerLength);
  {
    const FileHandle source = OpenForReading(sample);
    ReadExactly(source.get(), sample, bytes.data(), headerLength);
  }
  return WriteCache(sample, std::move(bytes), cacheFolder);
}

SampleKind SampleKindOf(std::span<const uint8_t> bytes) {
  if (bytes.size() >= 14 && mxf::PartitionOfKey(bytes.data()) == mxf::PartitionKind::Header) return SampleKind::Mxf;
  if (bytes.size() >= 8 && std::memcmp(bytes.data(), "RIFF", 4) != 0) {
    const uint32_t type = BigEndian32(bytes.data() + 4);
    if (type != iso::BoxType("mdat") && iso::IsTopLevelType(type)) return SampleKind::IsoMedia;
  }
  return SampleKind::Avi;
}

SampleHeader CacheSample(const std::filesystem::path& sample, const std::filesystem::path& cacheFolder) {
  uint8_t head[16] = {};
  {
    const FileHandle file = OpenForReading(sample);
    std::fread(head, 1, sizeof head, file.get());
  }
  const SampleKind kind = SampleKindOf(head);
  if (kind == SampleKind::Avi) return CacheSampleHeader(sample, FindHeaderLength(sample), cacheFolder);

  SampleFile file(sample);
  SourceBytes bytes(file);
  std::vector<uint8_t> cached;
  auto take = [&](int64_t start, int64_t end) {
    const size_t at = cached.size();
    cached.resize(at + static_cast<size_t>(end - start));
    if (!bytes.Read(start, cached.size() - at, cached.data() + at)) {
      throw KorvidError(ErrorKind::ReadFailed, PathText(sample), "The file ended early.");
    }
  };
  if (kind == SampleKind::Mxf) {
    // The header partition pack: the kind is all a run takes from an MXF sample.
    const std::optional<int64_t> end = mxf::TripletEnd(bytes, 0);
    if (!end || *end > std::min(bytes.Size(), MaxMxfSampleHead)) {
      throw KorvidError(ErrorKind::NoHeaderPartition, PathText(sample), "Choose an intact MXF file.");
    }
    take(0, *end);
  } else {
    const iso::TopLevelWalk walk = iso::WalkTopLevel(bytes, 0, bytes.Size());
    const auto moov = std::find_if(walk.Boxes.begin(), walk.Boxes.end(), [](const iso::TopBox& b) {
      return b.Type == iso::BoxType("moov") && !b.Cut;
    });
    const auto unusable = [&] {
      return KorvidError(ErrorKind::NoMovieBox, PathText(sample),
                         "Choose an intact MP4 or MOV file recorded by the same camera.");
    };
    if (moov == walk.Boxes.end() || moov->End - moov->Start > MaxMovieBox) throw unusable();
    if (walk.Boxes[0].Type == iso::BoxType("ftyp")) take(walk.Boxes[0].Start, walk.Boxes[0].End);
    const size_t moovAt = cached.size();
    take(moov->Start, moov->End);
    if (!iso::ParseMovie(std::span<const uint8_t>(cached).subspan(moovAt))) throw unusable();
  }
  SampleHeader header = WriteCache(sample, std::move(cached), cacheFolder);
  header.Kind = kind;
  return header;
}

std::span<const uint8_t> SampleMovieBox(std::span<const uint8_t> cached) {
  for (const iso::Box& box : iso::ChildBoxes(cached, 0, cached.size())) {
    if (box.Type == iso::BoxType("moov")) return cached.subspan(box.Start, box.Size);
  }
  return {};
}

std::vector<uint8_t> ReadSampleHeader(const std::filesystem::path& cacheFile) {
  const FileHandle file = OpenForReading(cacheFile);
  std::vector<uint8_t> header;
  uint8_t piece[65536];
  for (;;) {
    const size_t got = std::fread(piece, 1, sizeof piece, file.get());
    header.insert(header.end(), piece, piece + got);
    if (got < sizeof piece) break;
  }
  if (std::ferror(file.get())) {
    throw KorvidError(ErrorKind::ReadFailed, PathText(cacheFile), SystemErrorText(EIO));
  }
  return header;
}

}  // namespace korvid
