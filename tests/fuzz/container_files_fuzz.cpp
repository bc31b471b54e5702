// Runs container mode's file finder on arbitrary bytes taken as a whole source: the signature
// search, the walk over top-level boxes with their hostile sizes, the movie box parse and the
// MXF KLV walk. Every file found must lie within the source, in order and without overlap; no
// walk may hang or read outside the source.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/container_files.h"
#include "engine/iso_media/top_level_walk.h"
#include "engine/mxf/klv_walk.h"
#include "engine/signatures.h"
#include "tests/engine/memory_source.h"

namespace {

void Check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "container finder invariant broken: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  korvid::testing::MemorySource device(std::vector<uint8_t>(data, data + size));
  korvid::SourceBytes source(device);
  const korvid::PatternList patterns(korvid::ContainerPatterns);
  korvid::FragmentList hits;
  korvid::SearchChunk(patterns, device.Bytes(), 0, hits);
  korvid::SortFragments(hits);
  korvid::RunObserver observer;
  const std::vector<korvid::ContainerFile> files = korvid::FindContainerFiles(source, hits, observer);
  int64_t previousEnd = 0;
  for (const korvid::ContainerFile& f : files) {
    Check(f.Start >= previousEnd, "files overlap or are out of order");
    Check(f.Start < f.End && f.End <= device.Size(), "file outside the source");
    if (f.CutOff) Check(f.MediaData.MdatStart >= f.Start && f.MediaData.Limit <= device.Size(), "cut-off data outside");
    previousEnd = f.End;
  }

  // The walks from the first bytes, whatever they hold.
  const korvid::iso::TopLevelWalk walk = korvid::iso::WalkTopLevel(source, 0, device.Size());
  Check(walk.End <= device.Size(), "box walk past the source");
  for (const korvid::iso::TopBox& box : walk.Boxes) Check(box.Start < box.End, "empty box accepted");
  if (const auto mxf = korvid::mxf::WalkMxfFile(source, 0)) Check(mxf->End <= device.Size(), "KLV walk past the source");
  return 0;
}
