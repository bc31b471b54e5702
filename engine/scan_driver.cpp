#include "scan_driver.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <exception>
#include <span>

#include "chunk_prefetcher.h"
#include "sector_reader.h"
#include "signatures.h"

namespace korvid {
namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Reads the source chunk after chunk and appends every hit to `fragments`. A chunk is searched
// behind the unexamined tail of the one before, so that a signature on a chunk border, size word
// included, is found exactly once, and no byte is read twice.
void Scan(SourceDevice& source, const PatternList& patterns, RunObserver& observer,
          FragmentList& fragments, RecoveryReport& report) {
  const size_t margin = patterns.Margin();
  ChunkPrefetcher prefetcher(source, ScanChunkSize, margin);
  std::vector<uint8_t> tail(margin);  // the last chunk's unexamined bytes, at most `margin`
  size_t carried = 0;
  int64_t position = 0;

  ChunkPrefetcher::Chunk chunk;
  for (;;) {
    if (position < source.Size() && observer.StopRequested()) {
      report.Stopped = true;
      break;
    }
    if (!prefetcher.Next(chunk)) break;
    observer.Yield();
    observer.ScanProgress(position, source.Size());

    uint8_t* window = chunk.Data - carried;
    std::memcpy(window, tail.data(), carried);
    const size_t filled = carried + chunk.Length;
    const size_t searchEnd = filled > margin ? filled - margin : 0;
    const size_t before = fragments.size();
    SearchChunk(patterns, std::span(window, filled), position - static_cast<int64_t>(carried), fragments,
                searchEnd);
    // Patterns are searched one after another; merging each chunk's runs keeps the list in order.
    MergeRuns(fragments, before);

    carried = filled - searchEnd;
    std::memcpy(tail.data(), window + searchEnd, carried);
    position += static_cast<int64_t>(chunk.Length);
    report.BytesScanned = position;
    report.UnreadableScanBytes += chunk.UnreadableBytes;
    observer.FragmentsFound(fragments.size());
  }
  if (carried > 0) {
    SearchChunk(patterns, std::span(tail.data(), carried), position - static_cast<int64_t>(carried), fragments);
    observer.FragmentsFound(fragments.size());
  }
}

}  // namespace

const std::vector<std::string>& PatternsFor(ScanMode mode) {
  return mode == ScanMode::Container ? ContainerPatterns : AviChunkPatterns;
}

void RunRecovery(const RecoveryRequest& request, RunObserver& observer, RecoveryReport& report) {
  SourceDevice& source = *request.Source;
  report.SourceSize = source.Size();
  FragmentList fragments;
  std::exception_ptr scanError;
  const auto scanStart = std::chrono::steady_clock::now();
  try {
    Scan(source, PatternList(PatternsFor(request.Mode)), observer, fragments, report);
  } catch (...) {
    // What was found before the failure is still written.
    scanError = std::current_exception();
  }
  report.ScanSeconds = SecondsSince(scanStart);
  report.FragmentsFound = fragments.size();

  SortFragments(fragments);
  const auto writeStart = std::chrono::steady_clock::now();
  try {
    WriteFragments(source, fragments, request.Header, request.OutputFolder, observer, report.Write);
  } catch (...) {
    report.WriteSeconds = SecondsSince(writeStart);
    throw;
  }
  report.WriteSeconds = SecondsSince(writeStart);
  if (scanError) std::rethrow_exception(scanError);
}

}  // namespace korvid
