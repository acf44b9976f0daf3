// The decoder stage ("FFMpegDecoder"): compressed (or raw) audio and video
// packets in, decoded frames out.
//
// Data flow: the engine's upstream thread write()s packets into a queue of
// five; the downstream thread's readFrame() takes them one by one and hands
// them to a decoding core opened in transcoder-input mode, until one gives a
// frame. Decoded frames are new[] arrays freed by freeFrame(); a packet the
// core passes through unchanged (raw audio in, raw audio wanted) is handed
// out as the frame itself, with the packet as frameContext, and released by
// freeFrame().
//
// When the described output has video, decoded audio that comes before the
// first video frame is dropped, so the output starts with a picture (never
// in rescaling mode, where pictures only change size and format).
//
// End of stream: a PACKET_END packet gives a PACKET_END frame (no data),
// also when it follows packets that gave no frame. After stop() readFrame()
// is false at once.
//
// Thread safety: write() only touches the queue; readFrame() and the control
// operations (init, start, stop, close, getOutputStreamDescription) are
// serialised by the stage's lock, which readFrame() lets go of whenever it
// waits for a packet, so stop() never waits for a writer. freeFrame() takes
// no lock.
#pragma once

#include <memory>

#include "core/FFMpegDecoderCore.h"
#include "plugins/PacketQueue.h"
#include "support/CBBLog.h"
#include "support/PMutex.h"
#include "zan/streamer/PluginInterfaces.h"

namespace zan {

class FFMpegDecoder : public streamer::TranscoderPluginInterface {
 public:
  FFMpegDecoder();
  ~FFMpegDecoder() override;
  FFMpegDecoder(const FFMpegDecoder&) = delete;
  FFMpegDecoder& operator=(const FFMpegDecoder&) = delete;

  // InputStream
  void getOutputStreamDescription(streamer::OutputStreamDescription* description) override;
  // False at once before init() and after stop(). Otherwise waits for
  // packets until one gives a frame; PACKET_END (true, no data) at the end
  // of the stream.
  bool readFrame(streamer::PACKETTYPE& type, uint8_t*& data, unsigned& size, uint64_t& time, uint64_t& duration,
                 void*& frameContext, bool& keyFrame) override;
  void freeFrame(uint8_t* data, void* frameContext) override;

  // OutputStream
  // Takes over the caller's reference; blocks while five packets wait.
  void write(streamer::SamplePacket* packet) override;
  void resetPosition(uint64_t position) override;

  // TranscoderPluginInterface
  // PLUGIN_UNAVAILABLE when the core cannot decode the described input.
  streamer::PluginErrorCodes init(const streamer::MediumDescription* medium,
                                  const streamer::InputStreamDescription* input,
                                  const streamer::RequestedStreamDescription* requested,
                                  const streamer::MapGeneric* settings) override;
  bool close() override;
  bool start() override;
  // Closes the core and stops the queue: a waiting reader returns, later
  // writes release their packet.
  bool stop() override;

 private:
  // Whether a frame the core gave may leave now (audio waits for the first
  // picture when the output has video).
  bool deliverable(streamer::PACKETTYPE type);
  void releasePendingEnd();

  // Packets from the writer; owns one reference of each queued packet.
  streamer::PacketQueue queue_;
  std::shared_ptr<CBBLog> logger_;

  PMutex lock_{true};

  // An end marker held back while the decoders give out what they still

  // hold; guarded by lock_.

  streamer::SamplePacket* pendingEnd_ = nullptr;
  std::unique_ptr<FFMpegDecoderCore> core_;  // guarded by lock_; null before init and after stop
  bool outputHasVideo_ = false;               // guarded by lock_
  bool videoStarted_ = false;                 // guarded by lock_
};

}  // namespace zan
