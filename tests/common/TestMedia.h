// Test media made by the ffmpeg tool on first use into $ZAN_TEST_MEDIA (or
// below the temporary folder), named after a hash of the command, shared by
// every test program. Pictures are 160x120 at 25 fps unless said otherwise,
// clips 4 s. Failures throw std::runtime_error with ffmpeg's error output.
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
  kRandomBytes,        // about 280 KiB of pseudo-random bytes (fixed seed)
  kMp4H264BFrames,     // MP4, H.264 with 3 B-frames (negative dts) + AAC
  kBenchmark720p,      // MP4, 1280x720 H.264 + AAC 48 kHz stereo, 10 s
  kMp4FlashBeep,       // MP4, H.264 + AAC: a white picture and a 40 ms 1 kHz beep at every whole second
  kFlvHeAac,           // FLV, H.264 + AAC at 24 kHz mono whose configuration says HE-AAC (explicit
                       // SBR, 48 kHz out): no HE-AAC encoder is at hand, SBR decoding upsamples
                       // the plain frames
};

struct MediaRecipe {
  Media id;
  std::string name;       // file name stem
  std::string extension;  // file suffix without the dot, as the engine passes it
  std::string command;    // ffmpeg's arguments before the output path
};

const MediaRecipe& mediaRecipe(Media media);

std::string mediaFolder();
std::string mediaPath(Media media);
// A clip of one's own: |command| as in MediaRecipe, split at spaces.
std::string generateMedia(const std::string& name, const std::string& extension, const std::string& command);

}  // namespace zan::test
