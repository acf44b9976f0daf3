// Throughput of the decoder and demuxer stages beside the same work done
// without a stage, on a 720p H.264 + AAC MPEG-TS clip made by ffmpeg at
// bench time:
//
//   ffmpeg -f lavfi -i testsrc2=size=1280x720:rate=25:duration=10
//          -f lavfi -i sine=frequency=440:sample_rate=48000:duration=10
//          -c:v libx264 -preset veryfast -g 50 -pix_fmt yuv420p
//          -c:a aac -ac 2 -b:a 128k -f mpegts bench_720p_ts.ts
//
// Demuxing: FFmpeg reading the stream's bytes straight from memory through
// a decoding core's byte-stream open (one thread, no stage), beside the
// demuxer stage fed the same bytes as packets by a writer thread while the
// reader pulls decoded frames. Decoding: a core decoding the file, beside
// the decoder stage fed the file's compressed packets by a writer thread.
// Both sides decode every frame to packed YUYV 4:2:2 and 32-bit PCM. The
// fastest of --runs runs (default 3) counts.
//
//   stage_bench [--runs N]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/FFMpegDecoderCore.h"
#include "host/records/Records.h"
#include "plugins/SimpleSamplePacket.h"
#include "tests/common/Harness.h"
#include "tests/common/TestMedia.h"
#include "transcoders/FFMpegDecoder.h"
#include "transcoders/FFMpegDemuxer.h"

namespace {

using zan::streamer::PACKET_AUDIO;
using zan::streamer::PACKET_END;
using zan::streamer::PACKET_VIDEO;
using zan::streamer::PACKETTYPE;

struct Counts {
  long video = 0;
  long audio = 0;
};

std::string readAll(const std::string& path) {
  std::string bytes;
  if (FILE* file = std::fopen(path.c_str(), "rb")) {
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, got);
    std::fclose(file);
  }
  return bytes;
}

zan::streamer::SamplePacket* packetOf(PACKETTYPE type, const uint8_t* data, size_t size, uint64_t time = 0,
                                      uint64_t duration = 0, bool key = false) {
  auto* packet = new zan::streamer::SimpleSamplePacket();
  uint8_t* copy = size ? new uint8_t[size] : nullptr;
  if (size) std::memcpy(copy, data, size);
  packet->set(type, copy, static_cast<unsigned>(size), time, duration, key);
  return packet;
}

void count(Counts& counts, PACKETTYPE type) {
  if (type == PACKET_VIDEO) ++counts.video;
  if (type == PACKET_AUDIO) ++counts.audio;
}

// Pulls every frame out of a stage until the end; frames go back through
// freeFrame.
void drain(zan::streamer::InputStream& stage, Counts& counts) {
  for (const zan::test::Frame& frame : zan::test::readFrames(stage).all) count(counts, frame.type);
}

void drainCore(zan::FFMpegDecoderCore& core, Counts& counts) {
  for (;;) {
    PACKETTYPE type = PACKET_END;
    uint8_t* data = nullptr;
    unsigned size = 0;
    uint64_t time = 0, duration = 0;
    void* context = nullptr;
    bool key = false;
    if (!core.decodeFromMedium(type, data, size, time, duration, context, key)) break;
    delete[] data;
    count(counts, type);
  }
}

struct MemoryStream {
  const std::string* bytes;
  size_t at = 0;
  static int read(void* opaque, uint8_t* buffer, int size) {
    auto* self = static_cast<MemoryStream*>(opaque);
    const size_t n = std::min(static_cast<size_t>(size), self->bytes->size() - self->at);
    std::memcpy(buffer, self->bytes->data() + self->at, n);
    self->at += n;
    return static_cast<int>(n);
  }
};

Counts demuxDirect(const std::string& bytes) {
  Counts counts;
  MemoryStream memory{&bytes};
  zan::FFMpegDecoderCore core;
  if (core.initWithTransportStream("bench", "mpegts", &MemoryStream::read, nullptr, &memory) == 0)
    drainCore(core, counts);
  return counts;
}

Counts demuxStage(const std::string& bytes, size_t chunk) {
  Counts counts;
  zan::FFMpegDemuxer stage;
  zan::host::Medium medium("bench");
  zan::host::TranscoderInput input;
  input.setStreamType(1);
  input.stream().setFormat("mpegts");
  if (stage.init(&medium, &input, nullptr, nullptr) != zan::streamer::PLUGIN_OK) return counts;
  stage.start();
  std::thread writer([&] {
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    for (size_t at = 0; at < bytes.size(); at += chunk)
      stage.write(packetOf(PACKET_AUDIO, data + at, std::min(chunk, bytes.size() - at)));
    stage.write(new zan::streamer::SimpleSamplePacket());
  });
  drain(stage, counts);
  stage.stop();
  writer.join();
  return counts;
}

struct Compressed {
  PACKETTYPE type;
  std::vector<uint8_t> bytes;
  uint64_t time, duration;
  bool key;
};

struct CompressedMedium {
  std::vector<Compressed> packets;
  zan::host::TranscoderInput input;
};

CompressedMedium readCompressed(const std::string& path) {
  CompressedMedium medium;
  zan::FFMpegDecoderCore core;
  core.skipAudioDecoding();
  core.skipVideoDecoding();
  if (core.init(path, "ts") != 0) return medium;
  zan::host::StreamDescription stored;
  core.getInputStreamDescription(&stored);
  zan::host::copyVideo(*stored.getVideo(), medium.input.stream().video());
  zan::host::copyAudio(*stored.getAudio(), medium.input.stream().audio());
  for (;;) {
    Compressed packet{};
    uint8_t* data = nullptr;
    unsigned size = 0;
    void* context = nullptr;
    if (!core.decodeFromMedium(packet.type, data, size, packet.time, packet.duration, context, packet.key)) break;
    packet.bytes.assign(data, data + size);
    delete[] data;
    medium.packets.push_back(std::move(packet));
  }
  return medium;
}

Counts decodeDirect(const std::string& path) {
  Counts counts;
  zan::FFMpegDecoderCore core;
  if (core.init(path, "ts") == 0) drainCore(core, counts);
  return counts;
}

Counts decodeStage(const CompressedMedium& medium) {
  Counts counts;
  zan::FFMpegDecoder stage;
  zan::host::Requested requested;
  requested.target().video().setCodec("raw");
  requested.target().video().setPixelFormat(5);
  requested.target().audio().setCodec("raw");
  if (stage.init(nullptr, &medium.input, &requested, nullptr) != zan::streamer::PLUGIN_OK) return counts;
  zan::host::StreamDescription output;
  stage.getOutputStreamDescription(&output);
  stage.start();
  std::thread writer([&] {
    for (const Compressed& p : medium.packets)
      stage.write(packetOf(p.type, p.bytes.data(), p.bytes.size(), p.time, p.duration, p.key));
    stage.write(new zan::streamer::SimpleSamplePacket());
  });
  drain(stage, counts);
  stage.stop();
  writer.join();
  return counts;
}

double fastest(int runs, const std::function<Counts()>& work, Counts& counts) {
  double best = 1e30;
  for (int run = 0; run < runs; ++run) {
    const auto start = std::chrono::steady_clock::now();
    counts = work();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: %s [--runs N]\n", argv[0]);
      return 2;
    }
  }
  const std::string path = zan::test::generateMedia(
      "bench_720p_ts", "ts",
      "-f lavfi -i testsrc2=size=1280x720:rate=25:duration=10 -f lavfi -i sine=frequency=440:sample_rate=48000:"
      "duration=10 -c:v libx264 -preset veryfast -g 50 -pix_fmt yuv420p -c:a aac -ac 2 -b:a 128k -f mpegts");
  const std::string bytes = readAll(path);
  const CompressedMedium compressed = readCompressed(path);
  std::printf("%s: %zu bytes, %zu compressed packets; fastest of %d runs\n\n", path.c_str(), bytes.size(),
              compressed.packets.size(), runs);
  std::printf("%-44s %9s %7s %7s %7s\n", "", "seconds", "video", "audio", "ratio");

  Counts counts;
  const double direct = fastest(runs, [&] { return demuxDirect(bytes); }, counts);
  std::printf("%-44s %9.3f %7ld %7ld %7s\n", "core on the bytes, no stage (FFmpeg alone)", direct, counts.video,
              counts.audio, "1.00");
  for (size_t chunk : {size_t{188 * 7}, size_t{65536}}) {
    const double staged = fastest(runs, [&] { return demuxStage(bytes, chunk); }, counts);
    const std::string name = "FFMpegDemuxer, " + std::to_string(chunk) + "-byte packets";
    std::printf("%-44s %9.3f %7ld %7ld %7.2f\n", name.c_str(), staged, counts.video, counts.audio, staged / direct);
  }
  std::printf("\n");
  const double file = fastest(runs, [&] { return decodeDirect(path); }, counts);
  std::printf("%-44s %9.3f %7ld %7ld %7s\n", "core decoding the file", file, counts.video, counts.audio, "1.00");
  const double staged = fastest(runs, [&] { return decodeStage(compressed); }, counts);
  std::printf("%-44s %9.3f %7ld %7ld %7.2f\n", "FFMpegDecoder fed the compressed packets", staged, counts.video,
              counts.audio, staged / file);
  return 0;
}
