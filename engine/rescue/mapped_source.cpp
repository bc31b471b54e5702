#include "engine/rescue/mapped_source.h"

#include <algorithm>
#include <cerrno>

namespace korvid {

ReadResult MappedSource::ReadAt(int64_t offset, uint8_t* buffer, size_t length) {
  const int64_t end = std::min(offset + static_cast<int64_t>(length), Size());
  const int64_t readable = offset < end ? map_.ReadableUntil(offset, end) : end;
  if (readable >= end) return source_.ReadAt(offset, buffer, length);  // the end of data is the source's to tell
  ReadResult result;
  if (readable > offset) {
    result = source_.ReadAt(offset, buffer, static_cast<size_t>(readable - offset));
    if (result.Bytes < static_cast<size_t>(readable - offset)) return result;
  }
  result.Error = EIO;
  return result;
}

}  // namespace korvid
