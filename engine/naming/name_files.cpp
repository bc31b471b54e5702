#include "engine/naming/name_files.h"

#include <chrono>
#include <filesystem>
#include <system_error>

#include "engine/errors.h"
#include "engine/file_path.h"
#include "engine/naming/entry_match.h"
#include "engine/naming/recording_time.h"
#include "engine/naming/safe_name.h"
#include "engine/report/file_report.h"

namespace korvid {
namespace {

namespace fs = std::filesystem;

// File `number` is "<number>.<kind>", as the writers name it.
void Rename(WrittenFile& file, size_t number, const SourceEntry& entry) {
  const fs::path target = file.Path.parent_path() / PathFromText(SourceNamedFile(number, entry.Name, file.Kind));
  std::error_code error;
  if (fs::exists(target, error) || error) return;  // never over an existing file
  fs::rename(file.Path, target, error);
  if (error) throw KorvidError(ErrorKind::WriteFailed, PathText(file.Path), error.message());
  file.Path = target;
}

void SetModified(const WrittenFile& file, int64_t seconds) {
  const auto time = std::chrono::file_clock::from_sys(std::chrono::sys_seconds(std::chrono::seconds(seconds)));
  std::error_code error;
  fs::last_write_time(file.Path, time, error);
  if (error) throw KorvidError(ErrorKind::WriteFailed, PathText(file.Path), error.message());
}

}  // namespace

void NameFiles(SourceDevice& source, const std::vector<SourceEntry>& entries, bool rename, WriteReport& report) {
  const std::vector<std::optional<size_t>> matches = MatchSourceEntries(report.Files, entries);
  for (size_t i = 0; i < report.Files.size(); ++i) {
    WrittenFile& file = report.Files[i];
    if (!file.Complete) continue;
    if (matches[i]) file.Entry = entries[*matches[i]];
    if (file.Kind == "AVI") file.RecordingTime = RecordingTimeAt(source, FirstDataByte(file));
    if (rename && file.Entry && !file.Entry->Name.empty()) Rename(file, i + 1, *file.Entry);
    if (const std::optional<int64_t> time = ShownTime(file)) SetModified(file, *time);
  }
}

}  // namespace korvid
