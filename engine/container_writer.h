#pragma once

#include <cstdint>
#include <filesystem>
#include <span>

#include "fragment.h"
#include "fragment_writer.h"
#include "run_control.h"
#include "source_device.h"

namespace korvid {

// Writes every file that container mode's hits (ascending Position) lead to as "<n>.<kind>",
// numbered in source order: byte for byte as it lies on the source, with nothing in front. A
// recording cut off before its movie box is rebuilt with `sampleMovie`, the movie box of a
// recording by the same camera, and is written as it lay when there is none or it does not fit.
// Fills `report` as it goes; a failure raises KorvidError, and the files completed before stay.
void WriteContainerFiles(SourceDevice& source, const FragmentList& hits, std::span<const uint8_t> sampleMovie,
                         const std::filesystem::path& outputFolder, RunObserver& observer, WriteReport& report);

}  // namespace korvid
