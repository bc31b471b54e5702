#include "sector_reader.h"

#include <algorithm>
#include <cstring>

namespace korvid {

int64_t SectorOffset(int64_t position) { return position % SectorSize; }

int64_t SectorBase(int64_t position) { return position - SectorOffset(position); }

int64_t SectorSpan(int64_t count, int64_t position) {
  return count + SectorOffset(position) + SectorSize - (position + count) % SectorSize;
}

uint64_t ReadSectors(SourceDevice& source, int64_t offset, uint8_t* buffer, size_t length,
                     size_t countFrom, size_t countTo) {
  const ReadResult whole = source.ReadAt(offset, buffer, length);
  if (whole.Bytes >= length) return 0;
  std::memset(buffer + whole.Bytes, 0, length - whole.Bytes);
  if (whole.Error == 0) return 0;  // end of data: nothing there to read

  uint64_t unreadable = 0;
  const size_t sector = static_cast<size_t>(SectorSize);
  for (size_t at = whole.Bytes / sector * sector; at < length; at += sector) {
    const size_t piece = std::min(sector, length - at);
    const ReadResult one = source.ReadAt(offset + static_cast<int64_t>(at), buffer + at, piece);
    if (one.Bytes >= piece) continue;
    std::memset(buffer + at + one.Bytes, 0, piece - one.Bytes);
    if (one.Error == 0) break;  // end of data
    const size_t badFrom = std::max(at + one.Bytes, countFrom);
    const size_t badTo = std::min(at + piece, countTo);
    if (badFrom < badTo) unreadable += badTo - badFrom;
  }
  return unreadable;
}

int64_t SectorReader::ReadAligned(int64_t count, std::vector<uint8_t>& dest, int64_t position) {
  const int64_t base = SectorBase(position);
  const size_t span = static_cast<size_t>(SectorSpan(count, position));
  const size_t skip = static_cast<size_t>(SectorOffset(position));
  scratch_.resize(span);
  unreadable_ += ReadSectors(source_, base, scratch_.data(), span, skip, skip + count);
  dest.assign(scratch_.begin() + skip, scratch_.begin() + skip + count);
  return count;
}

}  // namespace korvid
