// Test media made at test time by the ffmpeg command-line tool.
//
// Every file is generated on first use into the media folder
// ($ZAN_TEST_MEDIA, which ctest sets to a folder below the build folder;
// otherwise a folder below the system's temporary folder) and reused by
// every later test program. A file's name carries a hash of the command that
// makes it, so changing a command makes a new file instead of reusing a
// stale one. Generation writes to a temporary name under an flock and then
// renames, so test programs running in parallel never see half a file.
//
// The pictures are small (160x120 unless said otherwise, 25 fps) and the
// clips 4 s long, so a whole set is made in a few seconds.
//
// Functions throw std::runtime_error (with ffmpeg's error output) when a
// file cannot be made; inside a test that fails the test with the reason.
#pragma once

#include <string>
#include <vector>

namespace zan::test {

enum class Media {
  kMp4H264Aac,         // MP4, H.264 (no B-frames) + AAC stereo 44.1 kHz
  kFlvSorensonMp3,     // FLV, Sorenson Spark + MP3
  kMkvH264Vorbis,      // Matroska, H.264 + Vorbis
  kMpegTsH264Aac,      // MPEG-TS, H.264 (Annex B, headers at every key frame) + AAC
  kAviMpeg4Mp3,        // AVI, MPEG-4 part 2 + MP3
  kMpegPsMpeg1Mp2,     // MPEG-1 program stream, mpeg1video + MP2
  kAsfWmv2Wma2,        // ASF, WMV2 + WMA v2
  kMp3Audio,           // MP3 audio only
  kFlacAudio,          // FLAC audio only
  kWavS16,             // WAV, signed 16-bit stereo
  kOggTheoraVorbis,    // Ogg, Theora + Vorbis
  kInterlacedMpeg2Ts,  // MPEG-TS, interlaced MPEG-2 video (320x240, fields from moving pictures) + MP2
  kTwoVideoStreams,    // Matroska, H.264 160x120 first, then H.264 320x240, + AAC
  kWav18Channels,      // WAV, 18 channels of signed 16-bit, audio only
  kWav19Channels,      // WAV, 19 channels of signed 16-bit, audio only
  kTruncatedMp4,       // the first half of an MP4 whose index (moov) is at the front
  kTruncatedMp4NoIndex,// the first half of an MP4 whose index is at the end (lost)
  kRandomBytes,        // 256 KiB of pseudo-random bytes (fixed seed)
  kMp4H264BFrames,     // MP4, H.264 with 3 B-frames (negative dts) + AAC
  kBenchmark720p,      // MP4, 1280x720 H.264 + AAC 48 kHz stereo, 10 s
};

struct MediaRecipe {
  Media id;
  std::string name;       // file name stem
  std::string extension;  // file suffix without the dot, as the engine passes it
  // The ffmpeg arguments between "ffmpeg" and the output path (the
  // inputs and the encoding options); empty for files not made by ffmpeg.
  std::string command;
};

const MediaRecipe& mediaRecipe(Media media);

// The folder generated media go to (created when missing).
std::string mediaFolder();

// The path of a ready file, made on first use.
std::string mediaPath(Media media);

// A file of one's own: |command| is what follows "ffmpeg" on the command
// line up to the output path (for example "-f lavfi -i
// testsrc2=size=64x48:rate=25:duration=1 -c:v mpeg4"). The file is
// "<name>-<hash of the command>.<extension>" in the media folder, made on
// first use. Arguments are split at spaces; none may contain one.
std::string generateMedia(const std::string& name, const std::string& extension, const std::string& command);

}  // namespace zan::test
