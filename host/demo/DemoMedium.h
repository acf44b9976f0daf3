// The medium of zanstream's built-in demonstration: a few seconds of
// colour bars (with a box sweeping along the bottom so that pictures
// differ) and a sine tone, encoded with FFmpeg's libraries into an MP4 file.
//
// This is the only part of the host that links FFmpeg: it makes a medium so
// that the demonstration needs no download and the repository no media
// file. Reading and decoding media stays with the plug-in library.
#pragma once

#include <string>

namespace zan::host {

struct DemoMediumSpec {
  int width = 320;
  int height = 240;
  int framesPerSecond = 25;
  int seconds = 3;
  int sampleRate = 44100;
  int channels = 2;
  int toneHertz = 1000;
};

struct DemoMediumResult {
  bool ok = false;
  std::string error;       // why not, when !ok
  std::string videoCodec;  // the encoder used: "libx264" where present, else "mpeg4"
  std::string audioCodec;  // "aac"
};

// Writes the medium into |path| (an MP4 file, replaced if present).
DemoMediumResult writeDemoMedium(const std::string& path, const DemoMediumSpec& spec = {});

}  // namespace zan::host
