// The audio resampler stage ("FFMpegAudioResampler"): raw audio packets in,
// interleaved signed 16-bit audio with at most the requested channel count
// and sample rate out.
//
// Data flow: write() runs on the engine's upstream thread and does all the
// work there: sample width to 16 bits, 4/5/6 channels folded to stereo,
// then channel count and rate converted with libswresample when the target
// differs. The finished packet goes into a queue of five packets; the
// downstream thread takes it with readFrame() and hands it back with
// freeFrame(). Packets that are not audio pass through unchanged, and a
// packet that needs no conversion is passed on itself. Time stamps and key
// flags are never changed.
//
// The rate converter lives as long as the stream: consecutive packets join
// without a gap or click, and the samples its filter holds back are sent in
// one more audio packet just before a PACKET_END packet.
//
// A packet that cannot be converted (unknown sample width or channel count,
// no data, a partial sample frame, a rate FFmpeg cannot convert) is dropped
// with a warning; the stage carries on with the next one.
//
// Lifetime: the input description lent to init() must outlive the stage,
// whose output description is that record's getOutputDescription().
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "encoder/profile/FFMpegStreamingProfile.h"
#include "plugins/PacketQueue.h"
#include "support/CBBLog.h"
#include "support/PMutex.h"
#include "transcoders/PcmRateConverter.h"
#include "zan/streamer/PluginInterfaces.h"

namespace zan {

class FFMpegAudioResampler : public streamer::TranscoderPluginInterface {
 public:
  FFMpegAudioResampler();
  ~FFMpegAudioResampler() override;
  FFMpegAudioResampler(const FFMpegAudioResampler&) = delete;
  FFMpegAudioResampler& operator=(const FFMpegAudioResampler&) = delete;

  // InputStream
  void getOutputStreamDescription(streamer::OutputStreamDescription* description) override;
  bool readFrame(streamer::PACKETTYPE& type, uint8_t*& data, unsigned& size, uint64_t& time, uint64_t& duration,
                 void*& frameContext, bool& keyFrame) override;
  void freeFrame(uint8_t* data, void* frameContext) override;

  // OutputStream
  void write(streamer::SamplePacket* packet) override;
  // Drops what the rate converter holds back from before the jump.
  void resetPosition(uint64_t position) override;

  // TranscoderPluginInterface
  streamer::PluginErrorCodes init(const streamer::MediumDescription* medium,
                                  const streamer::InputStreamDescription* input,
                                  const streamer::RequestedStreamDescription* requested,
                                  const streamer::MapGeneric* settings) override;
  bool close() override;
  // start() and stop() open and shut the packet queue: stop() wakes a
  // reader blocked in readFrame() and makes later writes drop their packet.
  bool start() override;
  bool stop() override;

 private:
  // The sample layout fixed by init().
  struct Format {
    int bitsPerSample = 0;
    int channels = 0;
    int sampleRate = 0;
    int targetChannels = 0;
    int targetRate = 0;
  };

  // Converts one audio packet and queues the result; false (packet
  // released, nothing queued) when it cannot be converted.
  bool resampleAudioPacket(streamer::SamplePacket* packet);
  // Queues the rate converter's held-back samples as one audio packet.
  void flushHeldBackSamples();
  void queueConverted(std::unique_ptr<uint8_t[]> data, size_t bytes, uint64_t time, uint64_t duration,
                      bool keyFrame);

  std::shared_ptr<CBBLog> logger_;
  streamer::PacketQueue queue_;

  // Guards everything below: init() and write() may run on different
  // threads, and nothing else touches the conversion state.
  PMutex lock_;
  std::unique_ptr<FFMpegStreamingProfile> profile_;
  streamer::OutputStreamDescription* description_ = nullptr;  // the input's, borrowed
  Format format_;
  PcmRateConverter converter_;
  std::vector<uint8_t> widened_;  // scratch of the width step
  std::vector<uint8_t> folded_;   // scratch of the channel step
  // Time just after the last converted packet's samples (kNoTime: unknown).
  uint64_t streamEnd_ = streamer::kNoTime;

  std::atomic<bool> discardHistory_{false};  // set by resetPosition()
};

}  // namespace zan
