// What ffprobe says about a file: its streams, packets and decoded frames
// (decoders drained at the end), the reference the library is held to.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/common/TestMedia.h"

namespace zan::test {

// A time stamp ffprobe printed as "N/A".
inline constexpr int64_t kProbeNoTime = INT64_MIN;

struct ProbeStream {
  int index = -1;
  std::string type;   // "video", "audio", ...
  std::string codec;  // FFmpeg's codec name
  int width = 0, height = 0;
  int sampleRate = 0, channels = 0;
  int timeBaseNum = 0, timeBaseDen = 1;
};

struct ProbePacket {
  int stream = -1;
  int64_t pts = kProbeNoTime, dts = kProbeNoTime;  // stream units
  int size = 0;
};

struct ProbeFrame {
  int stream = -1;
  bool key = false;
  int64_t bestEffort = kProbeNoTime;  // stream units
  int samples = 0;                    // audio frames only
};

struct ProbeResult {
  double duration = 0.0;   // seconds; NaN when unknown
  double startTime = 0.0;  // seconds; NaN when unknown
  int64_t bitRate = 0;
  std::vector<ProbeStream> streams;
  std::vector<ProbePacket> packets;
  std::vector<ProbeFrame> frames;

  // Null when there is none.
  const ProbeStream* first(const std::string& type) const;
  const ProbeStream* largestVideo() const;

  int frameCount(int stream) const;
  int keyFrameCount(int stream) const;
  int64_t sampleCount(int stream) const;
  std::vector<int> packetSizes(int stream) const;
  // Best-effort time stamps of a stream's decoded frames (or its key frames)
  // in microseconds, in decoding order; frames without one are left out.
  std::vector<uint64_t> frameTimes(int stream, bool keysOnly = false) const;
  // The format's start time in microseconds (0 when unknown).
  uint64_t startMicroseconds() const;
};

// Throws std::runtime_error when ffprobe fails.
ProbeResult probeMedia(const std::string& path);
// The same for a test clip, probed once per program.
const ProbeResult& probeMedia(Media media);

}  // namespace zan::test
