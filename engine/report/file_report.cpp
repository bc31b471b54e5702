#include "engine/report/file_report.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <system_error>

#include "engine/errors.h"
#include "engine/file_path.h"
#include "engine/fourcc.h"
#include "engine/naming/civil_time.h"
#include "engine/output_file.h"

namespace korvid {
namespace {

namespace fs = std::filesystem;

constexpr const char* HeadLine =
    "file\trecorded as\ttime (UTC)\tduration (s)\tvideo frames\tframes per stream\tsource start\tsource end\t"
    "pieces\tkind";
constexpr size_t FieldCount = 10;

// Names come from directory entries of a damaged medium and may hold any byte; the list's own
// separators are escaped so that every line keeps its fields.
std::string Escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out;
}

std::string Unescaped(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char next = text[++i];
    out += next == 't' ? '\t' : next == 'n' ? '\n' : next == 'r' ? '\r' : next;
  }
  return out;
}

std::string FramesText(const std::vector<uint64_t>& frames) {
  std::string text;
  for (uint64_t n : frames) text += (text.empty() ? "" : "+") + std::to_string(n);
  return text;
}

std::string LineOf(const WrittenFile& file, const std::vector<uint32_t>& sampleTypes) {
  const std::optional<int64_t> time = ShownTime(file);
  char duration[32];
  std::snprintf(duration, sizeof duration, "%.3f", file.DurationSeconds);
  return Escaped(PathText(file.Path.filename())) + '\t' + Escaped(file.Entry ? file.Entry->Name : std::string()) +
         '\t' + (time ? IsoUtcText(*time) : std::string()) + '\t' + duration + '\t' +
         std::to_string(VideoFramesOf(file, sampleTypes)) + '\t' + FramesText(file.FramesPerStream) + '\t' +
         std::to_string(file.SourceStart) + '\t' + std::to_string(file.SourceEnd) + '\t' +
         std::to_string(file.Pieces) + '\t' + Escaped(file.Kind) + '\n';
}

std::vector<std::string> Fields(const std::string& line) {
  std::vector<std::string> fields;
  size_t start = 0;
  while (true) {
    const size_t tab = line.find('\t', start);
    fields.push_back(Unescaped(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start)));
    if (tab == std::string::npos) return fields;
    start = tab + 1;
  }
}

template <typename Number>
bool ParseNumber(const std::string& text, Number& value) {
  std::istringstream in(text);
  in >> value;
  return !text.empty() && in && in.peek() == std::char_traits<char>::eof();
}

std::optional<int64_t> ParseTime(const std::string& text) {
  CivilTime t;
  char zone = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c", &t.Year, &t.Month, &t.Day, &t.Hour, &t.Minute,
                  &t.Second, &zone) != 7 || zone != 'Z') {
    return std::nullopt;
  }
  return SecondsSinceEpoch(t);
}

std::optional<FileReportLine> ParseLine(const std::string& line) {
  const std::vector<std::string> f = Fields(line);
  if (f.size() != FieldCount || f[0].empty()) return std::nullopt;
  FileReportLine out;
  out.File = f[0];
  out.RecordedAs = f[1];
  if (!f[2].empty() && !(out.Time = ParseTime(f[2]))) return std::nullopt;
  if (!ParseNumber(f[3], out.DurationSeconds) || !ParseNumber(f[4], out.VideoFrames) ||
      !ParseNumber(f[6], out.SourceStart) || !ParseNumber(f[7], out.SourceEnd) || !ParseNumber(f[8], out.Pieces)) {
    return std::nullopt;
  }
  for (size_t start = 0; start < f[5].size();) {
    const size_t plus = std::min(f[5].find('+', start), f[5].size());
    uint64_t n = 0;
    if (!ParseNumber(f[5].substr(start, plus - start), n)) return std::nullopt;
    out.FramesPerStream.push_back(n);
    start = plus + 1;
  }
  out.Kind = f[9];
  return out;
}

// The earlier runs' lines, which the new list must keep: one that cannot be read stops the write.
std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) throw KorvidError(ErrorKind::ReadFailed, PathText(path), "cannot be opened");
  std::string text(std::istreambuf_iterator<char>(in), {});
  if (in.bad()) throw KorvidError(ErrorKind::ReadFailed, PathText(path), "cannot be read");
  return text;
}

}  // namespace

std::optional<int64_t> ShownTime(const WrittenFile& file) {
  if (file.RecordingTime) return file.RecordingTime;
  return file.Entry ? file.Entry->Modified : std::nullopt;
}

uint64_t VideoFramesOf(const WrittenFile& file, const std::vector<uint32_t>& sampleTypes) {
  const std::vector<uint32_t>& types = file.StreamTypes.empty() ? sampleTypes : file.StreamTypes;
  uint64_t frames = 0;
  for (size_t s = 0; s < file.FramesPerStream.size(); ++s) {
    if (types.empty() || (s < types.size() && types[s] == FourCC("vids"))) frames += file.FramesPerStream[s];
  }
  return frames;
}

void AppendFileReport(const fs::path& folder, const std::vector<WrittenFile>& files,
                      const std::vector<uint32_t>& sampleTypes) {
  std::string lines;
  for (const WrittenFile& file : files) {
    if (file.Complete) lines += LineOf(file, sampleTypes);
  }
  if (lines.empty()) return;
  // The list is written whole beside itself and then put in its place, so that a failure
  // midway leaves the earlier runs' lines as they were.
  const fs::path path = folder / FileReportName;
  std::error_code error;
  const bool exists = fs::exists(path, error);
  if (error) throw KorvidError(ErrorKind::ReadFailed, PathText(path), error.message());
  std::string text = exists ? ReadWhole(path) : std::string(HeadLine) + '\n';
  if (!text.empty() && text.back() != '\n') text += '\n';
  text += lines;
  fs::path temporary = path;
  temporary += ".new";
  {
    OutputFile out(temporary);
    out.Write(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    out.Close();
  }
  fs::rename(temporary, path, error);
  if (error) {
    const std::string message = error.message();
    fs::remove(temporary, error);
    throw KorvidError(ErrorKind::WriteFailed, PathText(path), message);
  }
}

std::vector<FileReportLine> ReadFileReport(const fs::path& folder) {
  std::ifstream in(folder / FileReportName, std::ios::binary);
  std::vector<FileReportLine> lines;
  std::map<std::string, size_t> byName;
  std::string line;
  while (std::getline(in, line)) {
    if (line == HeadLine) continue;
    std::optional<FileReportLine> parsed = ParseLine(line);
    if (!parsed) continue;
    const auto [at, added] = byName.emplace(parsed->File, lines.size());
    if (added) {
      lines.push_back(std::move(*parsed));
    } else {
      lines[at->second] = std::move(*parsed);
    }
  }
  return lines;
}

}  // namespace korvid
