#include "output_file.h"

#include <cerrno>

#include "errors.h"
#include "file_path.h"

namespace korvid {

OutputFile::OutputFile(std::filesystem::path path) : path_(std::move(path)) {
  file_ = OpenFile(path_, "wb");
  if (file_ == nullptr) {
    throw KorvidError(ErrorKind::CreateFailed, PathText(path_), SystemErrorText(errno));
  }
}

OutputFile::~OutputFile() {
  if (file_ != nullptr) std::fclose(file_);
}

void OutputFile::Write(const uint8_t* data, size_t length) {
  if (length == 0) return;
  errno = 0;
  if (std::fwrite(data, 1, length, file_) != length) {
    throw KorvidError(ErrorKind::WriteFailed, PathText(path_),
                      SystemErrorText(errno != 0 ? errno : EIO));
  }
}

void OutputFile::Close() {
  if (file_ == nullptr) return;
  errno = 0;
  const bool flushed = std::fflush(file_) == 0;
  const int flushError = errno;
  const bool closed = std::fclose(file_) == 0;
  const int closeError = errno;
  file_ = nullptr;
  if (!flushed || !closed) {
    const int error = !flushed ? flushError : closeError;
    throw KorvidError(ErrorKind::WriteFailed, PathText(path_),
                      SystemErrorText(error != 0 ? error : EIO));
  }
}

}  // namespace korvid
