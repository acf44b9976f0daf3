// Writes the seed corpora of the fuzz targets into the folder given as the
// only argument, one sub-folder per target. The demuxer and decoder seeds
// are cut from the test media (made by ffmpeg on first use), so the fuzzer
// starts from real containers and real compressed frames.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/FFMpegDecoderCore.h"
#include "tests/common/TestMedia.h"

namespace {

namespace fs = std::filesystem;
using zan::test::Media;
using Bytes = std::vector<uint8_t>;

void save(const fs::path& folder, const std::string& name, const Bytes& bytes) {
  fs::create_directories(folder);
  std::ofstream(folder / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

Bytes fileStart(Media media, size_t limit) {
  std::ifstream file(zan::test::mediaPath(media), std::ios::binary);
  Bytes bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  if (bytes.size() > limit) bytes.resize(limit);
  return bytes;
}

// The first |count| compressed packets of one kind, in the decoder target's
// framing: 16-bit length, flags (key frame, no time stamp), bytes.
Bytes packets(Media media, zan::streamer::PACKETTYPE kind, uint8_t choice, int count) {
  zan::FFMpegDecoderCore core;
  core.skipAudioDecoding();
  core.skipVideoDecoding();
  Bytes out{choice};
  if (core.init(zan::test::mediaPath(media), zan::test::mediaRecipe(media).extension) != 0) return out;
  while (count > 0) {
    zan::streamer::PACKETTYPE type;
    uint8_t* data = nullptr;
    unsigned size = 0;
    uint64_t time = 0, duration = 0;
    void* context = nullptr;
    bool key = false;
    if (!core.decodeFromMedium(type, data, size, time, duration, context, key)) break;
    if (type == kind && size < 65536) {
      out.insert(out.end(), {static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size),
                             static_cast<uint8_t>((key ? 1 : 0) | (time == zan::streamer::kNoTime ? 2 : 0))});
      out.insert(out.end(), data, data + size);
      --count;
    }
    delete[] data;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s CORPUS_FOLDER\n", argv[0]);
    return 2;
  }
  const fs::path root = argv[1];
  try {
    // The index is the format byte the demuxer target reads first.
    const struct {
      uint8_t format;
      Media media;
    } containers[] = {{0, Media::kFlvSorensonMp3}, {1, Media::kMpegTsH264Aac}, {2, Media::kMp4H264Aac},
                      {3, Media::kMkvH264Vorbis},  {4, Media::kMp3Audio},      {5, Media::kOggTheoraVorbis},
                      {6, Media::kAviMpeg4Mp3},    {7, Media::kWavS16},        {8, Media::kAsfWmv2Wma2},
                      {9, Media::kMpegPsMpeg1Mp2}};
    for (const auto& c : containers) {
      Bytes seed{c.format};
      const Bytes start = fileStart(c.media, 32 * 1024);
      seed.insert(seed.end(), start.begin(), start.end());
      save(root / "demux", zan::test::mediaRecipe(c.media).name, seed);
    }
    // Choice byte: codec (0 H.264, 1 AAC, 2 MP3), 44.1 kHz, stereo.
    save(root / "decoder", "h264", packets(Media::kMpegTsH264Aac, zan::streamer::PACKET_VIDEO, 0, 30));
    save(root / "decoder", "aac", packets(Media::kMpegTsH264Aac, zan::streamer::PACKET_AUDIO, 1 | 4 | 8, 30));
    save(root / "decoder", "mp3", packets(Media::kMp3Audio, zan::streamer::PACKET_AUDIO, 2 | 4 | 8, 30));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  // Targets without media start from a few hand-made inputs.
  save(root / "history_buffer", "writes-reads-seeks",
       {4, 128, 0, 0, 40, 2, 0, 20, 4, 0, 10, 0, 0, 50, 2, 0, 60, 4, 0, 0, 5, 0, 0, 3, 0, 9, 6, 0, 3, 0, 0, 30});
  save(root / "output", "flv", {0, 0x05, 1, 0, 0, 0, 0, 0, 0, 0x13, 0x88, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0xA0,
                               0, 0, 0, 0x78, 0, 1, 0, 0, 0x40, 0x39, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0,
                               1, 'F', 'L', 'V', 1, 5, 0, 0, 0, 9, 0, 0, 0, 0});
  save(root / "output", "latm", {1, 2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2, 1, 0, 1, 0x2C});
  save(root / "output", "bits", {2, 0xAA, 0x55, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                 0, 0, 0, 0, 0, 0, 0, 5, 3, 6});
  for (const char* header : {"bytes 0-99/100", "bytes 100-199/*", " 4096 ", "120000", "18446744073709551616"})
    save(root / "http_headers", std::to_string(std::hash<std::string>()(header)),
         Bytes(header, header + std::char_traits<char>::length(header)));
  return 0;
}
