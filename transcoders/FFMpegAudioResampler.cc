#include "transcoders/FFMpegAudioResampler.h"

#include <climits>
#include <new>

#include "plugins/SimpleSamplePacket.h"
#include "transcoders/PcmConversion.h"

namespace zan {

using streamer::AudioDescription;
using streamer::InputStreamDescription;
using streamer::kNoTime;
using streamer::MapGeneric;
using streamer::MediumDescription;
using streamer::OutputStreamDescription;
using streamer::PACKET_AUDIO;
using streamer::PACKET_END;
using streamer::PACKETTYPE;
using streamer::PLUGIN_FAILED;
using streamer::PLUGIN_OK;
using streamer::PluginErrorCodes;
using streamer::RequestedStreamDescription;
using streamer::SamplePacket;
using streamer::SimpleSamplePacket;

namespace {

constexpr unsigned kQueuedPackets = 5;

uint64_t microseconds(uint64_t frames, int rate) { return rate > 0 ? frames * 1000000 / rate : 0; }

}  // namespace

FFMpegAudioResampler::FFMpegAudioResampler() : queue_(kQueuedPackets, 0) {}

FFMpegAudioResampler::~FFMpegAudioResampler() = default;

PluginErrorCodes FFMpegAudioResampler::init(const MediumDescription* medium, const InputStreamDescription* input,
                                            const RequestedStreamDescription* requested,
                                            const MapGeneric* settings) {
  logger_ = std::make_shared<CBBLog>("FFMpegAudioResampler.log", false, kDefaultLogFileSize);
  setCurrentLogger(logger_);

  std::unique_ptr<FFMpegStreamingProfile> profile = computeStreamingProfile(settings, medium, input, requested);
  if (!profile) {
    logError("FFMpegAudioResampler::init : failed, could not compute profile");
    return PLUGIN_FAILED;
  }
  OutputStreamDescription* description = input->getOutputDescription();
  AudioDescription* output = description ? description->getAudio() : nullptr;
  const AudioDescription* source = profile->sourceDescription->getAudio();
  const AudioDescription* target = profile->target->getAudio();
  if (output == nullptr || source == nullptr || target == nullptr) {
    logError("FFMpegAudioResampler::init : failed, the descriptions lack audio");
    return PLUGIN_FAILED;
  }

  Format format;
  format.bitsPerSample = source->getBitsPerSample();
  format.channels = source->getChannels();
  format.sampleRate = source->getSampleRate();
  // The profile always settles a channel count and a rate, except for
  // audio it copies through; then the folded input is kept as it is.
  format.targetChannels = target->getChannels() > 0 ? target->getChannels() : pcm::foldedChannelCount(format.channels);
  format.targetRate = target->getSampleRate() > 0 ? target->getSampleRate() : format.sampleRate;

  output->setChannels(format.targetChannels);
  output->setSampleRate(format.targetRate);
  // Whatever came in, 16-bit samples go out.
  output->setBitsPerSample(16);
  output->setFrameSize(16u * static_cast<unsigned>(format.targetChannels));
  output->setBitrate(16u * static_cast<unsigned>(format.targetChannels) * static_cast<unsigned>(format.targetRate));

  logInfo("FFMpegAudioResampler::init : %d bits %d channels %d Hz -> 16 bits %d channels %d Hz",
          format.bitsPerSample, format.channels, format.sampleRate, format.targetChannels, format.targetRate);

  PLockGuard guard(lock_);
  profile_ = std::move(profile);
  description_ = description;
  format_ = format;
  converter_.close();
  streamEnd_ = kNoTime;
  return PLUGIN_OK;
}

void FFMpegAudioResampler::getOutputStreamDescription(OutputStreamDescription* description) {
  PLockGuard guard(lock_);
  if (description_ && description) description_->copyTo(description);
}

void FFMpegAudioResampler::write(SamplePacket* packet) {
  if (packet == nullptr) return;
  const PACKETTYPE type = packet->getType();
  if (type == PACKET_AUDIO) {
    resampleAudioPacket(packet);
    return;
  }
  // The end of the stream: what the filter still holds goes out first.
  if (type == PACKET_END) flushHeldBackSamples();
  queue_.write(packet);
}

bool FFMpegAudioResampler::resampleAudioPacket(SamplePacket* packet) {
  std::unique_ptr<uint8_t[]> output;
  size_t outputBytes = 0;
  bool passOn = false;
  bool converted = false;
  try {
    PLockGuard guard(lock_);
    if (discardHistory_.exchange(false)) {
      converter_.close();
      streamEnd_ = kNoTime;
    }
    converted = [&]() -> bool {
      if (!profile_) {
        logWarn("FFMpegAudioResampler::write : not initialised, packet dropped");
        return false;
      }
      const int bits = format_.bitsPerSample;
      const int inChannels = format_.channels;
      const int rate = format_.sampleRate;
      if (!pcm::isSupportedWidth(bits)) {
        logWarn("FFMpegAudioResampler::encodeAudioPacket : unknown bitsPerSample value %d", bits);
        return false;
      }
      const int channels = pcm::foldedChannelCount(inChannels);
      if (channels == 0) {
        logWarn("FFMpegAudioResampler::encodeAudioPacket : unknown channels value %d", inChannels);
        return false;
      }
      const uint8_t* samples = packet->getData();
      const size_t bytes = packet->getSize();
      if (samples == nullptr || bytes == 0) {
        logWarn("FFMpegAudioResampler::encodeAudioPacket : empty packet dropped");
        return false;
      }
      const size_t frameBytes = static_cast<size_t>(bits / 8) * static_cast<size_t>(inChannels);
      if (bytes % frameBytes != 0) {
        logWarn("FFMpegAudioResampler::encodeAudioPacket : %zu bytes are not whole %zu-byte sample frames", bytes,
                frameBytes);
        return false;
      }
      const size_t frames = bytes / frameBytes;
      const int targetChannels = format_.targetChannels;
      const int targetRate = format_.targetRate;
      const bool widen = bits != 16;
      const bool fold = inChannels != channels;
      const bool resample = targetChannels != channels || targetRate != rate;
      if (!widen && !fold && !resample) {
        passOn = true;
        return true;
      }

      // Each step writes into scratch, except the last, which writes the
      // packet's own new buffer.
      auto stepOutput = [&](bool last, size_t size, std::vector<uint8_t>& scratch) -> uint8_t* {
        if (last) {
          output.reset(new uint8_t[size]);
          return output.get();
        }
        scratch.resize(size);
        return scratch.data();
      };
      if (widen) {
        const size_t count = frames * static_cast<size_t>(inChannels);
        uint8_t* out = stepOutput(!fold && !resample, count * 2, widened_);
        pcm::toSixteenBit(samples, count, bits, out);
        samples = out;
      }
      if (fold) {
        uint8_t* out = stepOutput(!resample, frames * 4, folded_);
        pcm::foldToStereo(samples, frames, inChannels, out);
        samples = out;
      }
      outputBytes = frames * static_cast<size_t>(channels) * 2;

      if (resample) {
        if (frames > static_cast<size_t>(INT_MAX)) {
          logWarn("FFMpegAudioResampler::encodeAudioPacket : %zu frames are too many for one packet", frames);
          return false;
        }
        if (!converter_.isOpen() && !converter_.open(channels, rate, targetChannels, targetRate)) {
          logWarn("FFMpegAudioResampler: Unsupported format: channels=%d, sampleRate=%d", channels, rate);
          return false;
        }
        const int capacity = converter_.maxOutputFrames(static_cast<int>(frames));
        if (capacity < 0) {
          logWarn("FFMpegAudioResampler::encodeAudioPacket : resampling failed %d", capacity);
          return false;
        }
        const size_t frameOut = static_cast<size_t>(targetChannels) * 2;
        output.reset(new uint8_t[(capacity > 0 ? static_cast<size_t>(capacity) : 1) * frameOut]);
        const int produced = converter_.convert(samples, static_cast<int>(frames), output.get(), capacity);
        if (produced < 0) {
          logWarn("FFMpegAudioResampler::encodeAudioPacket : resampling failed %d", produced);
          return false;
        }
        outputBytes = static_cast<size_t>(produced) * frameOut;
        const uint64_t time = packet->getTime();
        streamEnd_ = time == kNoTime ? kNoTime : time + microseconds(frames, rate);
      }
      if (outputBytes > UINT_MAX) {
        logWarn("FFMpegAudioResampler::encodeAudioPacket : %zu bytes are too many for one packet", outputBytes);
        return false;
      }
      return true;
    }();
  } catch (const std::bad_alloc&) {
    logWarn("FFMpegAudioResampler::encodeAudioPacket : out of memory, packet dropped");
    converted = false;
  }

  if (!converted) {
    packet->release();
    return false;
  }
  if (passOn) {
    queue_.write(packet);
    return true;
  }
  // The filter may keep a very short packet entirely to itself; its samples
  // come out with the next one.
  if (outputBytes > 0)
    queueConverted(std::move(output), outputBytes, packet->getTime(), packet->getDuration(), packet->isKeyFrame());
  packet->release();
  return true;
}

void FFMpegAudioResampler::flushHeldBackSamples() {
  std::unique_ptr<uint8_t[]> output;
  size_t bytes = 0;
  uint64_t time = kNoTime;
  uint64_t duration = 0;
  try {
    PLockGuard guard(lock_);
    if (!converter_.isOpen()) return;
    const int capacity = converter_.maxOutputFrames(0);
    if (capacity > 0) {
      const size_t frameOut = static_cast<size_t>(converter_.outChannels()) * 2;
      output.reset(new uint8_t[static_cast<size_t>(capacity) * frameOut]);
      const int produced = converter_.flush(output.get(), capacity);
      if (produced > 0) {
        bytes = static_cast<size_t>(produced) * frameOut;
        duration = microseconds(static_cast<uint64_t>(produced), converter_.outRate());
        // The held-back samples are the last ones of the stream: they end
        // where the last converted packet ended.
        if (streamEnd_ != kNoTime && streamEnd_ >= duration) time = streamEnd_ - duration;
      }
    }
    converter_.close();
    streamEnd_ = kNoTime;
  } catch (const std::bad_alloc&) {
    logWarn("FFMpegAudioResampler::write : out of memory, held-back samples dropped");
    return;
  }
  if (bytes > 0) queueConverted(std::move(output), bytes, time, duration, false);
}

void FFMpegAudioResampler::queueConverted(std::unique_ptr<uint8_t[]> data, size_t bytes, uint64_t time,
                                          uint64_t duration, bool keyFrame) {
  auto* packet = new (std::nothrow) SimpleSamplePacket();
  if (packet == nullptr) {
    logWarn("FFMpegAudioResampler::write : out of memory, packet dropped");
    return;
  }
  packet->set(PACKET_AUDIO, data.release(), static_cast<unsigned>(bytes), time, duration, keyFrame);
  queue_.write(packet);
}

bool FFMpegAudioResampler::readFrame(PACKETTYPE& type, uint8_t*& data, unsigned& size, uint64_t& time,
                                     uint64_t& duration, void*& frameContext, bool& keyFrame) {
  SamplePacket* packet = queue_.read(true);
  if (packet == nullptr) return false;
  type = packet->getType();
  data = packet->getData();
  size = packet->getSize();
  time = packet->getTime();
  duration = packet->getDuration();
  keyFrame = packet->isKeyFrame();
  frameContext = packet;
  return true;
}

void FFMpegAudioResampler::freeFrame(uint8_t* /*data*/, void* frameContext) {
  if (frameContext) static_cast<SamplePacket*>(frameContext)->release();
}

void FFMpegAudioResampler::resetPosition(uint64_t /*position*/) {
  // Applied by the writer thread before its next packet, so the control
  // thread never waits for a conversion.
  discardHistory_.store(true);
}

bool FFMpegAudioResampler::start() {
  queue_.start();
  return true;
}

bool FFMpegAudioResampler::stop() {
  queue_.stop();
  return true;
}

bool FFMpegAudioResampler::close() { return stop(); }

}  // namespace zan
