// The library's only exported symbols. Everything else is built with hidden
// visibility, so the engine sees these two functions and nothing more.
//
// Names are compared exactly (case-sensitive, whole string), in a fixed
// order. A stage answers once its class is part of the library; until then
// its name gets null like any unknown name.
#include <cstring>
#include <new>

#include "encoder/FFMpegEncoder.h"
#include "input/FFMpegInput.h"
#include "transcoders/FFMpegAudioResampler.h"
#include "transcoders/FFMpegDecoder.h"
#include "transcoders/FFMpegDemuxer.h"
#include "zan/streamer/PluginInterfaces.h"

using zan::streamer::InputPluginInterface;
using zan::streamer::TranscoderPluginInterface;

namespace {

template <typename T>
TranscoderPluginInterface* make() {
  return new (std::nothrow) T();
}

struct TranscoderEntry {
  const char* name;
  TranscoderPluginInterface* (*create)();
};

// Filled in as the stages are built; a null |create| answers null.
const TranscoderEntry kTranscoders[] = {
    {"FFMpegDecoder", make<zan::FFMpegDecoder>},
    {"FFMpegDemuxer", make<zan::FFMpegDemuxer>},
    {"FFMpegEncoder", make<zan::FFMpegEncoder>},
    {"FFMpegAudioResampler", make<zan::FFMpegAudioResampler>},
};

}  // namespace

extern "C" __attribute__((visibility("default"))) InputPluginInterface* InputPluginFactory() {
  return new (std::nothrow) zan::streamer::FFMpegInput();
}

extern "C" __attribute__((visibility("default"))) TranscoderPluginInterface* TranscoderPluginFactory(
    const char* name) {
  if (name == nullptr) return nullptr;
  for (const TranscoderEntry& entry : kTranscoders) {
    if (std::strcmp(entry.name, name) == 0) return entry.create ? entry.create() : nullptr;
  }
  return nullptr;
}
