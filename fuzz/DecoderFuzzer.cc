// The decoder stage fed arbitrary packets for its H.264, AAC and MP3
// decoders. Input: one byte choosing the codec (and the described picture
// size or audio format), then packets, each a 16-bit big-endian length, a
// flags byte (bit 0 key frame, bit 1 no time stamp, as a codec header is
// sent) and the bytes. A writer thread feeds the stage as the engine's
// upstream thread does; every frame is read to the end of the stream.
#include <thread>

#include "fuzz/FuzzSupport.h"
#include "host/records/Records.h"
#include "plugins/SimpleSamplePacket.h"
#include "transcoders/FFMpegDecoder.h"

namespace {

using zan::streamer::PACKETTYPE;

zan::streamer::SamplePacket* makePacket(PACKETTYPE type, const uint8_t* data, size_t size, uint64_t time,
                                        bool key) {
  auto* packet = new zan::streamer::SimpleSamplePacket();
  uint8_t* copy = size > 0 ? new uint8_t[size] : nullptr;
  if (size > 0) std::copy_n(data, size, copy);
  packet->set(type, copy, static_cast<unsigned>(size), time, 40000, key);
  return packet;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  zan::fuzz::quietLogging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  zan::fuzz::Input in(data, size);
  const unsigned choice = static_cast<unsigned>(in.take(1));
  const unsigned codec = choice % 3;
  const bool video = codec == 0;
  zan::host::TranscoderInput input;
  if (video) {
    input.stream().video().setCodec("h264");
    input.stream().video().setWidth(16 << (choice >> 2 & 3));
    input.stream().video().setHeight(16 << (choice >> 4 & 3));
  } else {
    input.stream().audio().setCodec(codec == 1 ? "aac" : "mp3");
    input.stream().audio().setSampleRate(choice & 4 ? 44100 : 48000);
    input.stream().audio().setChannels(1 + (choice >> 3 & 1));
  }
  zan::host::Requested requested;
  requested.target().video().setCodec("raw");
  requested.target().video().setPixelFormat(5);
  requested.target().audio().setCodec("raw");

  zan::FFMpegDecoder stage;
  if (stage.init(nullptr, &input, &requested, nullptr) != zan::streamer::PLUGIN_OK || !stage.start()) return 0;
  const PACKETTYPE type = video ? zan::streamer::PACKET_VIDEO : zan::streamer::PACKET_AUDIO;
  std::thread writer([&] {
    uint64_t time = 0;
    while (!in.empty()) {
      size_t length = static_cast<size_t>(in.take(2));
      const unsigned flags = static_cast<unsigned>(in.take(1));
      const uint8_t* bytes = in.bytes(length);
      stage.write(makePacket(type, bytes, length, flags & 2 ? zan::streamer::kNoTime : time, flags & 1));
      time += 40000;
    }
    stage.write(makePacket(zan::streamer::PACKET_END, nullptr, 0, 0, false));
  });
  for (;;) {
    PACKETTYPE got;
    uint8_t* frame = nullptr;
    unsigned frameSize = 0;
    uint64_t time = 0, duration = 0;
    void* context = nullptr;
    bool key = false;
    if (!stage.readFrame(got, frame, frameSize, time, duration, context, key)) break;
    const bool end = got == zan::streamer::PACKET_END;
    if (frame) zan::fuzz::touch(frame, frameSize);
    stage.freeFrame(frame, context);
    if (end) break;
  }
  stage.stop();  // releases a writer still waiting for room
  writer.join();
  stage.close();
  return 0;
}
