#include "container_files.h"

#include <algorithm>
#include <optional>

#include "big_endian.h"
#include "fourcc.h"
#include "iso_media/movie_box.h"
#include "iso_media/top_level_walk.h"
#include "little_endian.h"
#include "mxf/klv_walk.h"

namespace korvid {
namespace {

using iso::BoxType;

// A movie box larger than this is not read: a day of recording indexes in a few hundred MiB.
constexpr uint64_t MaxMovieBox = 512ull << 20;

// The first four bytes of each hit, as the record's Id holds them.
constexpr uint32_t HitOf(const char (&text)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(text[0])) |
         static_cast<uint32_t>(static_cast<uint8_t>(text[1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(text[2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(text[3])) << 24;
}
constexpr uint32_t MxfLabelHit = 0x342B0E06u;  // 06 0E 2B 34

struct Start {
  int64_t Offset;
  bool Mxf;
};

struct ParsedMovie {
  iso::Movie Movie;
  int64_t Lowest = INT64_MAX;  // of its chunks, relative to the file's start
  int64_t Highest = 0;         // one past the end of its last chunk
};

std::optional<ParsedMovie> ReadMovie(SourceBytes& source, const iso::TopBox& box) {
  if (box.Cut || box.DeclaredSize > MaxMovieBox) return std::nullopt;
  std::vector<uint8_t> bytes(static_cast<size_t>(box.End - box.Start));
  if (!source.Read(box.Start, bytes.size(), bytes.data())) return std::nullopt;
  std::optional<iso::Movie> movie = iso::ParseMovie(bytes);
  if (!movie) return std::nullopt;
  ParsedMovie parsed{std::move(*movie)};
  for (const iso::MovieTrack& track : parsed.Movie.Tracks) {
    for (const ByteRange& chunk : track.Chunks) {
      parsed.Lowest = std::min(parsed.Lowest, chunk.Offset);
      parsed.Highest = std::max(parsed.Highest, chunk.Offset + chunk.Length);
    }
  }
  return parsed;
}

void TakeFigures(const iso::Movie& movie, ContainerFile& file) {
  for (const iso::MovieTrack& track : movie.Tracks) file.SamplesPerTrack.push_back(track.Samples);
  file.StreamTypes = StreamTypesOf(movie);
  if (movie.Timescale > 0) file.DurationSeconds = static_cast<double>(movie.Duration) / movie.Timescale;
}

// Whether every chunk of `movie`, placed from `origin` on, lies in the data of one of `boxes`'
// whole mdat boxes.
bool ChunksInMediaData(const iso::Movie& movie, int64_t origin, std::span<const iso::TopBox> boxes) {
  for (const iso::MovieTrack& track : movie.Tracks) {
    for (const ByteRange& chunk : track.Chunks) {
      const int64_t from = origin + chunk.Offset;
      const bool inside = std::any_of(boxes.begin(), boxes.end(), [&](const iso::TopBox& b) {
        return b.Type == BoxType("mdat") && !b.Cut && from >= b.Start + b.HeaderSize && chunk.Length <= b.End - from;
      });
      if (!inside) return false;
    }
  }
  return true;
}

// An ISO media file from its ftyp box at `start`; `next` is where the next file found begins.
std::optional<ContainerFile> IsoFileAt(SourceBytes& source, int64_t start, int64_t next) {
  const iso::TopLevelWalk walk = iso::WalkTopLevel(source, start, source.Size());
  ContainerFile file;
  file.Start = start;
  file.Extension = iso::ExtensionForBrand(walk.MajorBrand);
  const auto moov = std::find_if(walk.Boxes.begin(), walk.Boxes.end(),
                                 [](const iso::TopBox& b) { return b.Type == BoxType("moov"); });
  const auto mdat = std::find_if(walk.Boxes.begin(), walk.Boxes.end(),
                                 [](const iso::TopBox& b) { return b.Type == BoxType("mdat"); });
  if (moov == walk.Boxes.end() && mdat == walk.Boxes.end()) return std::nullopt;  // a file type and nothing else

  std::optional<ParsedMovie> parsed;
  if (moov != walk.Boxes.end()) parsed = ReadMovie(source, *moov);
  if (parsed) {
    TakeFigures(parsed->Movie, file);
    file.Complete = ChunksInMediaData(parsed->Movie, start, walk.Boxes);
  }
  if (file.Complete) {
    // Past the boxes the movie needs, a second movie, a "wide" or media data that no fragment
    // header announces is the next file's.
    const int64_t needed = std::max(moov->End, start + parsed->Highest);
    file.End = walk.End;
    for (size_t i = 0; i < walk.Boxes.size(); ++i) {
      const iso::TopBox& b = walk.Boxes[i];
      if (b.Start < needed) continue;
      const bool fragment = b.Type == BoxType("mdat") && i > 0 && walk.Boxes[i - 1].Type == BoxType("moof");
      if (b.Type == BoxType("moov") || b.Type == BoxType("wide") || (b.Type == BoxType("mdat") && !fragment)) {
        file.End = b.Start;
        break;
      }
    }
    return file;
  }
  file.End = std::min(walk.End, next);
  if (moov == walk.Boxes.end() && mdat->Start < next) {
    file.CutOff = true;
    file.MediaData = {mdat->Start, mdat->HeaderSize, mdat->DeclaredSize, next};
    // Media data whose size is 0 runs to the next file, which may be the end of a large disk;
    // a 32-bit size never describes more than 4 GiB, nor does FAT32 hold a larger file.
    if (mdat->HeaderSize == 8) file.End = std::min(file.End, mdat->Start + (int64_t{1} << 32));
  }
  return file;
}

// The box header at `start` as a top-level box of the given type, whole within the source.
std::optional<iso::TopBox> WholeBoxAt(SourceBytes& source, int64_t start, uint32_t type) {
  const iso::TopLevelWalk walk = iso::WalkTopLevel(source, start, source.Size());
  if (walk.Boxes.empty() || walk.Boxes[0].Type != type || walk.Boxes[0].Cut) return std::nullopt;
  return walk.Boxes[0];
}

// An 8-byte "wide" or "free" box that ends at `end`: older QuickTime writes one before its
// media data, to make room for a 64-bit size.
bool SpacerBefore(SourceBytes& source, int64_t end) {
  uint8_t head[8];
  if (end < 8 || !source.Read(end - 8, 8, head) || BigEndian32(head) != 8) return false;
  const uint32_t type = BigEndian32(head + 4);
  return type == BoxType("wide") || type == BoxType("free");
}

// An older QuickTime file without a file type box: the movie box at `moovStart` with the media
// data right before or right after it that its chunks point into.
std::optional<ContainerFile> QuickTimeFileAt(SourceBytes& source, int64_t moovStart) {
  const std::optional<iso::TopBox> moov = WholeBoxAt(source, moovStart, BoxType("moov"));
  if (!moov) return std::nullopt;
  const std::optional<ParsedMovie> parsed = ReadMovie(source, *moov);
  if (!parsed || parsed->Lowest == INT64_MAX) return std::nullopt;

  auto tryLayout = [&](const iso::TopBox& mdat, int64_t origin, int64_t end) -> std::optional<ContainerFile> {
    const iso::TopBox boxes[] = {mdat};
    if (origin < 0 || !ChunksInMediaData(parsed->Movie, origin, boxes)) return std::nullopt;
    ContainerFile file;
    file.Start = origin;
    file.End = end;
    file.Extension = "MOV";
    file.Complete = true;
    TakeFigures(parsed->Movie, file);
    return file;
  };
  // Media data after the movie box: the file starts with it (or with a spacer before it).
  if (const std::optional<iso::TopBox> after = WholeBoxAt(source, moov->End, BoxType("mdat"))) {
    for (const int64_t origin : {moovStart, moovStart - 8}) {
      if (origin != moovStart && !SpacerBefore(source, moovStart)) continue;
      if (auto file = tryLayout(*after, origin, after->End)) return file;
    }
  }
  return std::nullopt;
}

// The same with the media data before the movie box, starting at `mdatStart`.
std::optional<ContainerFile> QuickTimeFileAfterData(SourceBytes& source, int64_t mdatStart) {
  const std::optional<iso::TopBox> mdat = WholeBoxAt(source, mdatStart, BoxType("mdat"));
  if (!mdat) return std::nullopt;
  const std::optional<iso::TopBox> moov = WholeBoxAt(source, mdat->End, BoxType("moov"));
  if (!moov) return std::nullopt;
  const std::optional<ParsedMovie> parsed = ReadMovie(source, *moov);
  if (!parsed || parsed->Lowest == INT64_MAX) return std::nullopt;
  const iso::TopBox boxes[] = {*mdat};
  // A spacer before the media data belongs to the file: offsets count from it. The layout whose
  // first chunk starts the media data is the file's; another that merely fits is the fallback.
  std::optional<int64_t> fallback;
  for (const int64_t origin : {mdatStart - 8, mdatStart}) {
    if (origin != mdatStart && !SpacerBefore(source, mdatStart)) continue;
    if (origin < 0 || !ChunksInMediaData(parsed->Movie, origin, boxes)) continue;
    if (origin + parsed->Lowest == mdat->Start + mdat->HeaderSize) {
      fallback = origin;
      break;
    }
    if (!fallback) fallback = origin;
  }
  if (!fallback) return std::nullopt;
  ContainerFile file;
  file.Start = *fallback;
  file.End = moov->End;
  file.Extension = "MOV";
  file.Complete = true;
  TakeFigures(parsed->Movie, file);
  return file;
}

}  // namespace

std::vector<uint32_t> StreamTypesOf(const iso::Movie& movie) {
  std::vector<uint32_t> types;
  for (const iso::MovieTrack& track : movie.Tracks) {
    types.push_back(track.Handler == BoxType("vide")   ? FourCC("vids")
                    : track.Handler == BoxType("soun") ? FourCC("auds")
                                                       : track.Handler);
  }
  return types;
}

std::vector<ContainerFile> FindContainerFiles(SourceBytes& source, const FragmentList& hits, RunObserver& observer) {
  std::vector<Start> starts;
  for (size_t i = 0; i < hits.size(); ++i) {
    const Fragment& hit = hits[i];
    if (hit.Id == HitOf("ftyp") && hit.Position >= 4 && iso::IsFileTypeBox(source, hit.Position - 4)) {
      starts.push_back({hit.Position - 4, false});
    } else if (hit.Id == MxfLabelHit && (starts.empty() || starts.back().Offset != hit.Position)) {
      uint8_t key[16];
      if (source.Read(hit.Position, 16, key) && mxf::PartitionOfKey(key) == mxf::PartitionKind::Header) {
        starts.push_back({hit.Position, true});
      }
    }
  }
  std::sort(starts.begin(), starts.end(), [](const Start& a, const Start& b) { return a.Offset < b.Offset; });

  std::vector<ContainerFile> files;
  int64_t covered = 0;
  for (size_t i = 0; i < starts.size(); ++i) {
    observer.Yield();
    if (starts[i].Offset < covered) continue;
    const int64_t next = i + 1 < starts.size() ? starts[i + 1].Offset : source.Size();
    std::optional<ContainerFile> file;
    if (starts[i].Mxf) {
      if (const std::optional<mxf::MxfFile> mxf = mxf::WalkMxfFile(source, starts[i].Offset)) {
        file.emplace();
        file->Start = mxf->Start;
        file->Complete = mxf->Complete;
        file->End = mxf->Complete ? mxf->End : std::min(mxf->End, next);
        file->Extension = "MXF";
        for (const mxf::EssenceTrack& track : mxf->Tracks) {
          file->SamplesPerTrack.push_back(track.Elements);
          file->StreamTypes.push_back(track.Picture ? FourCC("vids") : track.Sound ? FourCC("auds") : FourCC("data"));
        }
      }
    } else {
      file = IsoFileAt(source, starts[i].Offset, next);
    }
    if (!file || file->End <= file->Start) continue;
    covered = file->End;
    files.push_back(std::move(*file));
  }

  // Older QuickTime files, from the movie and media data boxes that no file found holds.
  auto held = [&](int64_t offset) {
    const auto after = std::upper_bound(files.begin(), files.end(), offset,
                                        [](int64_t o, const ContainerFile& f) { return o < f.Start; });
    return after != files.begin() && offset < std::prev(after)->End;
  };
  std::vector<ContainerFile> older;
  int64_t olderEnd = 0;
  for (size_t i = 0; i < hits.size(); ++i) {
    const Fragment& hit = hits[i];
    const int64_t box = hit.Position - 4;
    if (box < olderEnd || held(box)) continue;
    std::optional<ContainerFile> file;
    if (hit.Id == HitOf("moov")) {
      file = QuickTimeFileAt(source, box);
    } else if (hit.Id == HitOf("mdat")) {
      file = QuickTimeFileAfterData(source, box);
    }
    if (!file || held(file->Start) || held(file->End - 1) || file->Start < olderEnd) continue;
    olderEnd = file->End;
    older.push_back(std::move(*file));
  }
  files.insert(files.end(), older.begin(), older.end());
  std::sort(files.begin(), files.end(), [](const ContainerFile& a, const ContainerFile& b) { return a.Start < b.Start; });
  return files;
}

}  // namespace korvid
