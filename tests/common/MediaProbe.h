// What ffprobe says about a file: format, streams, every packet and every
// decoded frame. Tests compare what the library delivers with it.
//
// Runs `ffprobe -show_entries format=...:stream=...:packet=...:frame=...
// -of compact` (which decodes the whole file, draining the decoders at the
// end) and parses the records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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
  int frameRateNum = 0, frameRateDen = 0;  // r_frame_rate
  double startTime = 0.0;                  // seconds; NaN when unknown
  double duration = 0.0;                   // seconds; NaN when unknown
};

struct ProbePacket {
  int stream = -1;
  int64_t pts = kProbeNoTime, dts = kProbeNoTime, duration = kProbeNoTime;  // stream units
  int size = 0;
  bool key = false;
};

struct ProbeFrame {
  int stream = -1;
  bool video = false;
  bool key = false;
  bool interlaced = false;
  int64_t bestEffort = kProbeNoTime;  // stream units
  int samples = 0;                    // audio frames only
};

struct ProbeResult {
  std::string formatName;  // the demuxer's names, e.g. "mov,mp4,m4a,3gp,3g2,mj2"
  double duration = 0.0;   // seconds; NaN when unknown
  double startTime = 0.0;  // seconds; NaN when unknown
  int64_t size = 0;
  int64_t bitRate = 0;
  std::vector<ProbeStream> streams;
  std::vector<ProbePacket> packets;
  std::vector<ProbeFrame> frames;

  // The first stream of a type; null when there is none.
  const ProbeStream* first(const std::string& type) const;
  const ProbeStream* stream(int index) const;
  // The stream of a type with the largest picture, or the first one.
  const ProbeStream* largestVideo() const;

  int packetCount(int stream) const;
  int frameCount(int stream) const;
  int keyFrameCount(int stream) const;
  int64_t sampleCount(int stream) const;
  // Best-effort time stamps of a stream's decoded frames in microseconds, in
  // decoding order; frames without one are left out.
  std::vector<uint64_t> frameTimes(int stream) const;
  // A stream value in microseconds, computed the way the library does it:
  // value * (num / den) * 1e6 in double precision, truncated.
  uint64_t toMicroseconds(int stream, int64_t value) const;
};

// Throws std::runtime_error when ffprobe fails.
ProbeResult probeMedia(const std::string& path);

}  // namespace zan::test
