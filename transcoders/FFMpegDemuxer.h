// The demuxer stage ("FFMpegDemuxer"): the bytes of a multiplexed stream
// (for instance an MPEG transport stream) in, as packets; decoded audio and
// video frames out, exactly as the input plug-in delivers them.
//
// Data flow: the engine's upstream thread write()s packets into a queue of
// five. A decoding core opened over a byte stream pulls its bytes from that
// queue through demuxerReadCallback(), which fills each of FFmpeg's requests
// completely (keeping the tail of a packet it had to split for the next
// request). Opening blocks until FFmpeg has probed enough bytes, and those
// only arrive through write(), so the open runs on a thread of its own;
// getOutputStreamDescription() and readFrame() wait until it has finished.
// A PACKET_END packet marks the end of the byte stream: the bytes before it
// are still demuxed, then reading ends.
//
// Frames are new[] arrays freed by freeFrame().
//
// Thread safety: write() only touches the queue. The read callback runs on
// whichever thread is inside FFmpeg's reading: the opening thread during the
// open, the reader afterwards (never both: the reader waits for the open).
// stop() first stops the queue, which ends any wait in the read callback,
// then closes the core and waits for the opening thread, so a stop during
// the open returns promptly and the stage may be deleted right after it.
#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "core/FFMpegDecoderCore.h"
#include "plugins/PacketQueue.h"
#include "support/CBBLog.h"
#include "support/PMutex.h"
#include "support/PThread.h"
#include "zan/streamer/PluginInterfaces.h"

namespace zan {

class FFMpegDemuxer : public streamer::TranscoderPluginInterface {
 public:
  // The only input stream type the stage accepts: a multiplexed byte stream
  // arriving as packets.
  static constexpr int kMultiplexedStreamType = 1;

  FFMpegDemuxer();
  ~FFMpegDemuxer() override;
  FFMpegDemuxer(const FFMpegDemuxer&) = delete;
  FFMpegDemuxer& operator=(const FFMpegDemuxer&) = delete;

  // InputStream
  // Waits for the open to finish; describes nothing before init().
  void getOutputStreamDescription(streamer::OutputStreamDescription* description) override;
  // False at once before init(); otherwise waits for the open to finish,
  // then false when it failed or the stage is stopped, or at the end of the
  // stream.
  bool readFrame(streamer::PACKETTYPE& type, uint8_t*& data, unsigned& size, uint64_t& time, uint64_t& duration,
                 void*& frameContext, bool& keyFrame) override;
  void freeFrame(uint8_t* data, void* frameContext) override;

  // OutputStream
  // Takes over the caller's reference; blocks while five packets wait.
  void write(streamer::SamplePacket* packet) override;
  void resetPosition(uint64_t position) override;

  // TranscoderPluginInterface
  // PLUGIN_UNAVAILABLE for another stream type than 1 or a second init();
  // otherwise starts the open on its own thread and returns PLUGIN_OK.
  streamer::PluginErrorCodes init(const streamer::MediumDescription* medium,
                                  const streamer::InputStreamDescription* input,
                                  const streamer::RequestedStreamDescription* requested,
                                  const streamer::MapGeneric* settings) override;
  bool close() override;
  bool start() override;
  bool stop() override;

  // FFmpeg's read callback: copies exactly |size| bytes from the queued
  // packets, waiting for packets as needed. Fewer bytes only at the end of
  // the stream (a PACKET_END packet); 0 when nothing is left or the queue
  // was stopped (the bytes of an unfinished call are then given up). Only
  // one thread may be inside it at a time.
  int demuxerReadCallback(uint8_t* buffer, int size);

 private:
  static int readTrampoline(void* stage, uint8_t* buffer, int size);
  // The opening thread's body; |core| is the core to open.
  int initDemuxerThread(void* core);
  void releaseCurrentPacket();

  streamer::PacketQueue queue_;  // owns one reference of each queued packet
  std::shared_ptr<CBBLog> logger_;
  std::string streamName_;  // the medium's location, FFmpeg's name for the stream
  std::string formatName_;  // FFmpeg's demuxer name; unknown names fall back to "mpegts"

  // Serialises init(), stop() and close().
  PMutex controlLock_;
  std::unique_ptr<PThread> openThread_;  // guarded by controlLock_

  // Guards the core_ pointer against stop() while a reader or describer
  // uses it. Taken after controlLock_ where both are held.
  PMutex coreLock_;
  std::unique_ptr<FFMpegDecoderCore> core_;

  PCondMutex openDone_;  // flag: the open has finished, or stop() was called
  std::atomic<bool> stopped_{false};

  // Touched only by the thread inside FFmpeg's reading (see above).
  streamer::SamplePacket* currentPacket_ = nullptr;  // a packet only partly copied
  int currentOffset_ = 0;                             // bytes of it already copied
  bool endOfStream_ = false;                          // a PACKET_END packet arrived
};

}  // namespace zan
