// Arbitrary bytes demuxed and decoded through the core's byte-stream open
// (memory read and seek callbacks), every frame read to the end. The first
// byte chooses the container format FFmpeg is told the stream has.
#include <cstdint>
#include <cstdio>
#include <algorithm>
#include <climits>
#include <iterator>

#include "core/FFMpegDecoderCore.h"
#include "fuzz/FuzzSupport.h"

namespace {

constexpr const char* kFormats[] = {"flv", "mpegts", "mov", "matroska", "mp3", "ogg", "avi",
                                    "wav", "asf", "mpeg", "aac", "h264", "flac", ""};

struct Memory {
  const uint8_t* data;
  int64_t size;
  int64_t at = 0;
};

int readMemory(void* opaque, uint8_t* buffer, int size) {
  auto* memory = static_cast<Memory*>(opaque);
  const int64_t count = std::min<int64_t>(size, memory->size - memory->at);
  if (count <= 0) return 0;
  std::copy_n(memory->data + memory->at, count, buffer);
  memory->at += count;
  return static_cast<int>(count);
}

int64_t seekMemory(void* opaque, int64_t offset, int whence) {
  auto* memory = static_cast<Memory*>(opaque);
  if (whence & zan::fuzz::kAvSeekSize) return memory->size;
  int64_t target = offset;
  switch (whence & 3) {
    case SEEK_SET: break;
    case SEEK_CUR: target = offset > INT64_MAX - memory->at ? -1 : memory->at + offset; break;
    case SEEK_END: target = offset > INT64_MAX - memory->size ? -1 : memory->size + offset; break;
    default: return -1;
  }
  if (target < 0 || target > memory->size) return -1;
  memory->at = target;
  return target;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zan::fuzz::quietLogging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const char* format = kFormats[data[0] % std::size(kFormats)];
  Memory memory{data + 1, static_cast<int64_t>(size - 1)};
  zan::FFMpegDecoderCore core;
  if (core.initWithTransportStream("fuzz", format, readMemory, seekMemory, &memory) != 0) return 0;
  // Frames are bounded: a few seconds of the smallest media the seeds hold.
  for (int frames = 0; frames < 4000; ++frames) {
    zan::streamer::PACKETTYPE type;
    uint8_t* frame = nullptr;
    unsigned frameSize = 0;
    uint64_t time = 0, duration = 0;
    void* context = nullptr;
    bool key = false;
    if (!core.decodeFromMedium(type, frame, frameSize, time, duration, context, key)) break;
    zan::fuzz::touch(frame, frameSize);
    delete[] frame;
  }
  core.close();
  return 0;
}
