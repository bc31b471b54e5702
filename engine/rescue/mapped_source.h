#pragma once

#include "engine/rescue/rescue_map.h"
#include "engine/source_device.h"

namespace korvid {

// A source read through what a scan learnt of it: the bytes the scan could not read, or did not
// get to, fail at once, and the device is not asked for them again; a failing sector read once
// more may be the last read the disk takes. Everything else passes through.
class MappedSource : public SourceDevice {
 public:
  MappedSource(SourceDevice& source, const RescueMap& map) : source_(source), map_(map) {}

  const std::string& Path() const override { return source_.Path(); }
  int64_t Size() const override { return source_.Size(); }
  ReadResult ReadAt(int64_t offset, uint8_t* buffer, size_t length) override;
  void WillRead(int64_t offset, int64_t length) override { source_.WillRead(offset, length); }

 private:
  SourceDevice& source_;
  const RescueMap& map_;
};

}  // namespace korvid
