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

#include "errors.h"
#include "file_path.h"
#include "output_file.h"

namespace korvid {
namespace {

constexpr int kRenameAttempts = 20;

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
  std::error_code ignored;
  std::filesystem::create_directories(cacheFolder, ignored);  // a failure shows on create below

  SampleHeader header;
  header.CachePath = cacheFolder / sample.filename();
  header.CachePath += ".bin";
  {
    const FileHandle source = OpenForReading(sample);
    header.Bytes.resize(headerLength);
    ReadExactly(source.get(), sample, header.Bytes.data(), headerLength);
  }

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
