#include "engine/rescue/progress_file.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include "engine/errors.h"
#include "engine/file_path.h"
#include "engine/output_file.h"
#include "engine/program_version.h"

namespace korvid {
namespace {

constexpr size_t MagicBytes = 16;
constexpr char RecordsMagic[MagicBytes] = {'K', 'O', 'R', 'V', 'I', 'D', ' ', 'R', 'E', 'C', 'O', 'R', 'D', 'S', '1', '\n'};
constexpr char PiecesMagic[MagicBytes] = {'K', 'O', 'R', 'V', 'I', 'D', ' ', 'P', 'I', 'E', 'C', 'E', 'S', ' ', '1', '\n'};
constexpr const char* KorvidLine = "# korvid:";

char StateChar(SectorState state) {
  return state == SectorState::Outside ? '?' : static_cast<char>(state);
}

std::string Hex(std::span<const uint8_t> bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (uint8_t b : bytes) text += {digits[b >> 4], digits[b & 15]};
  return text;
}

// The bytes that `Hex` wrote; false for text that is not pairs of hex digits.
bool FromHex(const std::string& text, std::vector<uint8_t>& bytes) {
  auto digit = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  if (text.size() % 2 != 0) return false;
  for (size_t i = 0; i < text.size(); i += 2) {
    const int high = digit(text[i]), low = digit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    bytes.push_back(static_cast<uint8_t>(high << 4 | low));
  }
  return true;
}

KorvidError Unusable(const std::filesystem::path& path, const std::string& why) {
  return KorvidError(ErrorKind::ProgressUnusable, PathText(path), why);
}

struct MapLines {
  int64_t CurrentPosition = 0;  // of the status line
  std::vector<std::pair<ByteRange, SectorState>> Runs;
  std::vector<std::string> Comments;
};

// A ddrescue map file: its status line ("current_pos current_status [current_pass]"), then its
// data lines ("pos size status").
MapLines ParseMap(std::istream& in, const std::filesystem::path& path) {
  MapLines map;
  std::vector<std::pair<ByteRange, SectorState>>& runs = map.Runs;
  std::string line;
  bool status = false;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty()) continue;
    if (line[0] == '#') {
      map.Comments.push_back(line);
      continue;
    }
    std::istringstream fields(line);
    std::string pos, size, state;
    fields >> pos >> size >> state;
    char* end = nullptr;
    if (!status) {
      status = true;
      map.CurrentPosition = std::strtoll(pos.c_str(), &end, 0);
      if (end == pos.c_str()) throw Unusable(path, "its status line is damaged: it is no GNU ddrescue map file.");
      continue;
    }
    const long long p = std::strtoll(pos.c_str(), &end, 0);
    const bool posOk = end != pos.c_str() && *end == '\0';
    const long long n = std::strtoll(size.c_str(), &end, 0);
    const bool sizeOk = end != size.c_str() && *end == '\0';
    if (!posOk || !sizeOk || p < 0 || n <= 0 || state.size() != 1 || std::strchr("?*/-+", state[0]) == nullptr) {
      throw Unusable(path, "line " + std::to_string(number) + " is no \"pos size status\" line of a GNU ddrescue map file.");
    }
    if (!runs.empty() && runs.back().first.Offset + runs.back().first.Length > p) {
      throw Unusable(path, "line " + std::to_string(number) + " overlaps the line before it.");
    }
    runs.push_back({{p, n}, static_cast<SectorState>(state[0])});
  }
  if (!status) throw Unusable(path, "it holds no status line: it is no GNU ddrescue map file.");
  return map;
}

}  // namespace

uint64_t DigestOf(const uint8_t* data, size_t length, uint64_t seed) {
  uint64_t hash = seed;  // FNV-1a
  for (size_t i = 0; i < length; ++i) hash = (hash ^ data[i]) * 0x100000001b3ull;
  return hash;
}

template <class T>
std::filesystem::path ProgressItems<T>::PathOf(const std::filesystem::path& folder, uint64_t generation) const {
  return folder / ("korvid-progress-" + std::to_string(generation) + "." + extension_);
}

template <class T>
uint64_t ProgressItems<T>::Write(const std::filesystem::path& folder, const PackedArray<T>& items) {
  const bool grew = named_ > 0 && written_ == named_ && items.size() >= saved_ &&
                    (saved_ == 0 || std::memcmp(&items[saved_ - 1], &lastSaved_, sizeof(T)) == 0);
  const uint64_t generation = grew ? named_ : std::max(named_, written_) + 1;
  const std::filesystem::path path = PathOf(folder, generation);
  // A save killed while it appended left items past those the map counts: they go first.
  std::error_code error;
  if (grew) std::filesystem::resize_file(path, MagicBytes + saved_ * sizeof(T), error);
  if (error) throw KorvidError(ErrorKind::WriteFailed, PathText(path), error.message());
  errno = 0;
  std::FILE* file = OpenFile(path, grew ? "ab" : "wb");
  if (file == nullptr) throw KorvidError(ErrorKind::CreateFailed, PathText(path), SystemErrorText(errno));
  const size_t from = grew ? saved_ : 0;
  bool ok = grew || std::fwrite(magic_, MagicBytes, 1, file) == 1;
  if (items.size() > from) ok = ok && std::fwrite(items.data() + from, sizeof(T), items.size() - from, file) == items.size() - from;
  ok = std::fclose(file) == 0 && ok;
  if (!ok) throw KorvidError(ErrorKind::WriteFailed, PathText(path), SystemErrorText(errno ? errno : EIO));
  written_ = generation;
  saved_ = items.size();
  if (saved_ > 0) lastSaved_ = items[saved_ - 1];
  return generation;
}

template <class T>
void ProgressItems<T>::Named(const std::filesystem::path& folder) {
  std::error_code ignored;
  if (named_ != 0 && named_ != written_) std::filesystem::remove(PathOf(folder, named_), ignored);
  named_ = written_;
}

template <class T>
PackedArray<T> ProgressItems<T>::Read(const std::filesystem::path& folder, uint64_t generation, size_t count) {
  const std::filesystem::path path = PathOf(folder, generation);
  std::ifstream in(path, std::ios::binary);
  char magic[MagicBytes] = {};
  if (!in || !in.read(magic, sizeof magic) || std::memcmp(magic, magic_, sizeof magic) != 0) {
    throw Unusable(path, std::string("it is missing or is no korvid ") + extension_ + " file.");
  }
  PackedArray<T> items;
  for (size_t i = 0; i < count; ++i) {
    T item;
    if (!in.read(reinterpret_cast<char*>(&item), sizeof item)) {
      throw Unusable(path, "it ends after " + std::to_string(i) + " of the " + std::to_string(count) + " " +
                               extension_ + " its map counts.");
    }
    items.push_back(item);
  }
  named_ = written_ = generation;
  saved_ = count;
  if (count > 0) lastSaved_ = items[count - 1];
  return items;
}

template <class T>
void ProgressItems<T>::Remove(const std::filesystem::path& folder) {
  std::error_code ignored;
  if (named_ != 0) std::filesystem::remove(PathOf(folder, named_), ignored);
  if (written_ != 0 && written_ != named_) std::filesystem::remove(PathOf(folder, written_), ignored);
  named_ = written_ = 0;
  saved_ = 0;
}

template class ProgressItems<Fragment>;
template class ProgressItems<Piece>;

namespace {

// The interleave as "from.to.count" of the pairs that occur, comma separated, or "-".
std::string InterleaveText(const StreamInterleave& interleave) {
  std::string text;
  for (size_t from = 0; from < interleave.Follows.size(); ++from) {
    for (size_t to = 0; to < MaxStreams; ++to) {
      const uint32_t count = interleave.Follows[from][to];
      if (count == 0) continue;
      if (!text.empty()) text += ',';
      text += std::to_string(from) + "." + std::to_string(to) + "." + std::to_string(count);
    }
  }
  return text.empty() ? "-" : text;
}

bool ReadInterleave(const std::string& text, StreamInterleave& interleave) {
  if (text == "-") return true;
  std::istringstream pairs(text);
  std::string pair;
  while (std::getline(pairs, pair, ',')) {
    unsigned from = 0, to = 0, count = 0;
    char dot1 = 0, dot2 = 0;
    std::istringstream fields(pair);
    if (!(fields >> from >> dot1 >> to >> dot2 >> count) || dot1 != '.' || dot2 != '.' || from >= MaxStreams ||
        to >= MaxStreams || !fields.eof()) {
      return false;
    }
    interleave.Add(static_cast<int>(from), static_cast<int>(to));
    interleave.Follows[from][to] = count;
  }
  return true;
}

}  // namespace

ProgressFile::ProgressFile(const std::filesystem::path& folder)
    : folder_(folder), map_(folder / "korvid-progress.map"), records_("records", RecordsMagic), pieces_("pieces", PiecesMagic) {}

bool ProgressFile::Exists() const {
  std::error_code error;
  return std::filesystem::exists(map_, error);
}

void ProgressFile::Save(const SavedScan& scan, const FragmentList& records, const PieceCollection* pieces) {
  const uint64_t recordsFile = records_.Write(folder_, records);
  const uint64_t piecesFile = pieces != nullptr ? pieces_.Write(folder_, pieces->Pieces) : 0;

  std::ostringstream map;
  map << "# Mapfile. Created by korvid-cli " << ProgramVersion << "\n";
  map << KorvidLine << " source-size " << scan.SourceSize << " first-sectors " << scan.FirstSectors << " scope "
      << scan.Scope << " records " << records.size() << " records-file " << recordsFile << " complete " << (scan.Complete ? 1 : 0) << " carried "
      << (scan.Carried.empty() ? "-" : Hex(scan.Carried));
  if (pieces != nullptr) {
    map << " pieces " << pieces->Pieces.size() << " pieces-file " << piecesFile << " dropped " << pieces->DroppedRecords
        << " interleave " << InterleaveText(pieces->Interleave);
  }
  map << "\n";
  char line[96];
  map << "# current_pos  current_status  current_pass\n";
  std::snprintf(line, sizeof line, "0x%08" PRIX64 "     %c               1\n", static_cast<uint64_t>(scan.Position),
                scan.Complete ? '+' : '?');
  map << line << "#      pos        size  status\n";
  for (const auto& [range, state] : scan.Runs) {
    std::snprintf(line, sizeof line, "0x%08" PRIX64 "  0x%08" PRIX64 "  %c\n", static_cast<uint64_t>(range.Offset),
                  static_cast<uint64_t>(range.Length), StateChar(state));
    map << line;
  }
  std::filesystem::path partial = map_;
  partial += ".part";
  OutputFile out(partial);
  const std::string text = map.str();
  out.Write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
  out.Close();
  std::error_code error;
  std::filesystem::rename(partial, map_, error);
  if (error) throw KorvidError(ErrorKind::CreateFailed, PathText(map_), error.message());
  records_.Named(folder_);
  if (pieces != nullptr) pieces_.Named(folder_);
}

SavedScan ProgressFile::Load() {
  std::ifstream in(map_);
  if (!in) throw Unusable(map_, "it cannot be opened.");
  MapLines lines = ParseMap(in, map_);
  SavedScan scan;
  scan.Runs = std::move(lines.Runs);
  scan.Position = lines.CurrentPosition;
  size_t records = 0, pieces = 0;
  uint64_t recordsFile = 0, piecesFile = 0;
  bool found = false;
  for (const std::string& comment : lines.Comments) {
    if (comment.rfind(KorvidLine, 0) != 0) continue;
    std::istringstream fields(comment.substr(std::strlen(KorvidLine)));
    std::string key, carried, interleave;
    int complete = 0;
    fields >> key >> scan.SourceSize >> key >> scan.FirstSectors >> key >> scan.Scope >> key >> records >> key >>
        recordsFile >> key >> complete >> key >> carried;
    bool ok = static_cast<bool>(fields);
    // A run that takes its records into pieces saves them too.
    if (ok && fields >> key) {
      fields >> pieces >> key >> piecesFile >> key >> scan.Pieces.DroppedRecords >> key >> interleave;
      ok = fields && ReadInterleave(interleave, scan.Pieces.Interleave);
    }
    // "-" stands for no carried bytes, as a scan that has ended carries none.
    if (carried == "-") carried.clear();
    if (!ok || !FromHex(carried, scan.Carried)) throw Unusable(map_, "its korvid line is damaged.");
    scan.Complete = complete != 0;
    found = true;
  }
  if (!found) throw Unusable(map_, "it holds no korvid line: it was not made by a korvid run.");
  int64_t covered = 0;
  for (const auto& [range, state] : scan.Runs) {
    if (range.Offset != covered) throw Unusable(map_, "its ranges leave a gap at " + std::to_string(covered) + ".");
    covered += range.Length;
  }
  if (covered != scan.SourceSize) throw Unusable(map_, "its ranges do not cover the source it names.");
  scan.Records = records_.Read(folder_, recordsFile, records);
  if (piecesFile != 0) scan.Pieces.Pieces = pieces_.Read(folder_, piecesFile, pieces);
  return scan;
}

std::optional<int64_t> ProgressFile::SavedSourceSize() const {
  std::ifstream in(map_);
  std::string line, key;
  while (std::getline(in, line)) {
    if (line.rfind(KorvidLine, 0) != 0) continue;
    std::istringstream fields(line.substr(std::strlen(KorvidLine)));
    int64_t size = 0;
    if (fields >> key >> size && key == "source-size") return size;
  }
  return std::nullopt;
}

void ProgressFile::Remove() {
  std::error_code ignored;
  std::filesystem::remove(map_, ignored);
  records_.Remove(folder_);
  pieces_.Remove(folder_);
}

std::vector<std::pair<ByteRange, SectorState>> ReadDdrescueMap(const std::filesystem::path& path) {
  std::ifstream in(path);
  if (!in) throw KorvidError(ErrorKind::OpenFailed, PathText(path), SystemErrorText(errno ? errno : ENOENT));
  return ParseMap(in, path).Runs;
}

}  // namespace korvid
