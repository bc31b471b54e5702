#include "container_writer.h"

#include <algorithm>
#include <optional>

#include "container_files.h"
#include "file_copier.h"
#include "iso_media/moov_rebuild.h"
#include "output_file.h"
#include "source_bytes.h"

namespace korvid {

void WriteContainerFiles(SourceDevice& source, const FragmentList& hits, std::span<const uint8_t> sampleMovie,
                         const std::filesystem::path& outputFolder, RunObserver& observer, WriteReport& report) {
  SourceBytes bytes(source);
  // A rebuilt file has the sample's tracks.
  std::vector<uint32_t> sampleTypes;
  if (const std::optional<iso::Movie> movie = iso::ParseMovie(sampleMovie)) sampleTypes = StreamTypesOf(*movie);
  const std::vector<ContainerFile> found = FindContainerFiles(bytes, hits, observer);
  FileCopier copier(source, observer, report);
  for (size_t i = 0; i < found.size(); ++i) {
    const ContainerFile& f = found[i];
    observer.Yield();
    observer.WriteProgress(i, found.size());
    std::optional<iso::RebuiltRecording> rebuilt;
    if (f.CutOff && !sampleMovie.empty()) {
      const iso::CutOffRecording cut{f.Start, f.MediaData.MdatStart, f.MediaData.MdatHeaderSize,
                                     f.MediaData.DeclaredSize, f.MediaData.Limit};
      rebuilt = iso::RebuildCutOff(bytes, cut, sampleMovie);
    }

    WrittenFile& file = report.Files.emplace_back();
    file.Kind = f.Extension;
    file.Path = outputFolder / (std::to_string(report.Files.size()) + "." + f.Extension);
    file.SourceStart = f.Start;
    file.Intact = f.Complete || rebuilt.has_value();
    file.Rebuilt = rebuilt.has_value();
    OutputFile out(file.Path);
    if (rebuilt) {
      file.SourceEnd = rebuilt->CopyEnd;
      file.FramesPerStream = rebuilt->SamplesPerTrack;
      file.StreamTypes = sampleTypes;
      file.DurationSeconds = rebuilt->DurationSeconds;
      const int64_t patchEnd = rebuilt->MdatHeaderAt + static_cast<int64_t>(rebuilt->MdatHeader.size());
      copier.Copy(out, file, f.Start, rebuilt->MdatHeaderAt);
      copier.Put(out, file, rebuilt->MdatHeader.data(), rebuilt->MdatHeader.size());
      copier.Copy(out, file, patchEnd, rebuilt->CopyEnd);
      copier.Put(out, file, rebuilt->Moov.data(), rebuilt->Moov.size());
      file.Extents = {{f.Start, rebuilt->CopyEnd - f.Start}};
    } else {
      file.SourceEnd = f.End;
      file.FramesPerStream = f.SamplesPerTrack;
      file.StreamTypes = f.StreamTypes;
      file.DurationSeconds = f.DurationSeconds;
      copier.Copy(out, file, f.Start, f.End);
      file.Extents = {{f.Start, f.End - f.Start}};
    }
    out.Close();
    file.Complete = true;
  }
}

}  // namespace korvid
