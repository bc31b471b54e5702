#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/source_bytes.h"

namespace korvid::iso {

// What the media data of a recording holds, as its camera's sample moov describes it.
struct MediaLayout {
  enum class Video { None, H264, H265 };
  enum class Audio {
    None,    // video alone
    Aac,     // raw AAC frames, split by decoding
    Pcm,     // frames of PcmBlock bytes
    Opaque,  // frames this build cannot split: skipped, the video kept
  };
  Video VideoFormat = Video::None;
  uint32_t VideoCodec = 0;         // the sample entry's format, e.g. BoxType("avc1")
  std::vector<uint8_t> VideoConfig;  // avcC or hvcC payload
  unsigned NalLengthSize = 4;
  size_t MostNalBytes = 0;  // a NAL unit longer than this is taken for other bytes
  Audio AudioFormat = Audio::None;
  std::vector<uint8_t> AacConfig;  // AudioSpecificConfig
  uint32_t PcmBlock = 0;           // bytes of one PCM frame, all channels
  size_t MostAudioRunBytes = 0;    // audio between two video runs longer than this ends the recording
};

// One chunk of a track: Count samples from FirstSample on, from source offset Offset.
struct SplitChunk {
  int64_t Offset = 0;
  uint32_t FirstSample = 0;
  uint32_t Count = 0;
};

struct SplitTrack {
  std::vector<uint32_t> Sizes;   // each sample's bytes; empty for PCM, whose samples are PcmBlock each
  std::vector<SplitChunk> Chunks;
  uint64_t Samples = 0;
  // Video only, one entry per sample:
  std::vector<bool> Key;        // decoding can start at the sample
  std::vector<bool> Restart;    // an IDR picture: picture order counts start again
  std::vector<int32_t> Order;   // picture order count; empty when not known for every sample
};

struct SplitMedia {
  SplitTrack Video;
  SplitTrack Audio;
  int64_t End = 0;  // source offset where the last sample kept ends
};

// Walks the media data in source bytes [from, to): runs of video access units and runs of audio
// frames one after another, each run a chunk. Stops at content that is neither, and then leaves
// out the last sample or audio run before it, which nothing confirms is whole.
SplitMedia SplitMediaData(SourceBytes& source, int64_t from, int64_t to, const MediaLayout& layout);

}  // namespace korvid::iso
