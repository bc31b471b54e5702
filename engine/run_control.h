#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korvid {

// How the engine talks to whoever started a run: the window, the command line or a test.
// Every call is made on the thread that runs the engine.
class RunObserver {
 public:
  virtual ~RunObserver() = default;

  // Called before every chunk of the scan, every record and every 256 KiB piece of the writer.
  // A front end may block here (a pause) or process its own events.
  virtual void Yield() {}
  // Read once per chunk, before Yield; true ends the scan after the chunk in hand.
  virtual bool StopRequested() { return false; }

  // At the start of each chunk: bytes of the source scanned so far and in all.
  virtual void ScanProgress(int64_t /*scanned*/, int64_t /*total*/) {}
  // After each chunk: records found so far.
  virtual void FragmentsFound(uint64_t /*count*/) {}
  // Before each record of the writer: its index and the number of records.
  virtual void WriteProgress(uint64_t /*record*/, uint64_t /*records*/) {}
  // Now and then while the pieces of fragmented recordings are joined, before any file is
  // written: the pieces weighed so far and in all.
  virtual void JoinProgress(uint64_t /*piece*/, uint64_t /*pieces*/) {}
  // Now and then while the scan comes back for what its first pass could not read: the bytes
  // of those stretches tried so far and in all.
  virtual void RetryProgress(uint64_t /*tried*/, uint64_t /*total*/) {}
};

// Maps 64-bit progress onto a gauge that holds signed 32-bit values. The scan counts KiB, and
// sources of 2 TiB and more are shown in larger units so that the maximum still fits.
class GaugeScale {
 public:
  // `maximum` in the caller's units (bytes or records); `unit` divides them first (1024 for KiB).
  GaugeScale(int64_t maximum, int64_t unit);

  int32_t Maximum() const { return Value(maximum_); }
  int32_t Value(int64_t progress) const;

 private:
  int64_t maximum_;
  int64_t divisor_;  // unit × 2^k, the smallest that brings maximum_ within INT32_MAX
};

// The remaining-time estimate of the status bar, advanced by a once-a-second timer.
class RemainingTime {
 public:
  // A run begins: the tick count restarts at 1.
  void Begin() { ElapsedTicks = 1; }
  // One timer tick with the gauge's progress and maximum. Returns the new caption, or nothing
  // while the rate is still 0.
  std::optional<std::string> Tick(int32_t progress, int32_t maximum);

  int32_t ElapsedTicks = 1;  // ticks since Begin, plus 1
};

// The caption shown once a run has ended.
inline constexpr const char* RemainingTimeIdleText = "剩余时间: ";

}  // namespace korvid
