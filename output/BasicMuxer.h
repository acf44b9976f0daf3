// One FFmpeg output format context whose bytes leave through a MuxerSink.
//
// The encoder opens the muxer, adds its streams to formatContext() (and
// sets audioStreamIndex/videoStreamIndex), then writes the header, packets
// and the trailer. The muxer never writes to a file or socket: FFmpeg's
// byte layer writes into a 64 KiB buffer whose flushes are handed to the
// sink: the header bytes gathered into one headerBytes() call, everything
// after them through muxedBytes().
//
// The output is not seekable: a byte handed to the sink is never rewritten.
// Formats that would go back to patch their header therefore run in a
// streaming mode: MP4/MOV as fragmented MP4, FLV without FFmpeg's own
// onMetaData (the encoder puts the library's own in its place).
//
// suspendOutput()/resumeOutput() restart FFmpeg's muxer state (for a new
// position) without a trailer or a second header reaching the sink.
// Resuming replaces the format context by a new one with the same streams:
// callers read formatContext() (and its streams' time bases) again.
// Media FFmpeg still holds at the suspension (interleaving queue, buffered
// PES data) is written out first; only the trailer's own bytes are dropped.
// A muxer whose trailer was written (the end of the stream) can be
// suspended and resumed too: the stream goes on after it. The new context
// continues what the reader has seen: fragmented MP4 numbers its fragments
// on and takes its decoding times from the packets (no second timeline from
// 0), MPEG-TS marks the first packet of every PID as a discontinuity (its
// continuity counters start again).
//
// Lifetime: the sink and the profile must outlive the muxer. Not
// thread-safe: one thread drives a muxer at a time; different muxers are
// independent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ffmpeg/FFmpegPtr.h"

namespace zan {

class FFMpegStreamingProfile;
class MuxerSink;

class BasicMuxer {
 public:
  BasicMuxer(MuxerSink* sink, const FFMpegStreamingProfile* profile);
  virtual ~BasicMuxer();
  BasicMuxer(const BasicMuxer&) = delete;
  BasicMuxer& operator=(const BasicMuxer&) = delete;

  // Creates the format context and its I/O context; 0 on success, -1 when
  // the container is unknown or FFmpeg fails.
  virtual int open();
  // Writes the trailer when a header is out, then frees the contexts.
  // Harmless when called again or before open().
  virtual void close();
  // The header goes to the sink in one headerBytes() call.
  virtual bool writeHeader();
  // True when there is nothing to finish (no header written) or the
  // trailer was written; false when FFmpeg failed to write it.
  virtual bool writeTrailer();
  // |ts| is the presentation time in the stream's time base (after the
  // header, the one the format chose). Audio packets are key frames and are
  // decoded in presentation order. A video packet's decoding time |dts|
  // (same time base; it is negative before the first picture when pictures
  // are reordered) defaults to its presentation time, which is right only
  // for streams without reordering. Returns false when FFmpeg refuses the
  // packet, or no header is written.
  virtual bool writeAudioPacket(AVFormatContext* context, const uint8_t* data, const unsigned& size,
                                const uint64_t& ts);
  virtual bool writeAudioPacket(const uint8_t* data, const unsigned& size, const uint64_t& ts, int lowBitrate);
  virtual bool writeVideoPacket(AVFormatContext* context, const uint8_t* data, const unsigned& size,
                                const uint64_t& ts, bool keyFrame, int64_t dts = kDtsFromPts);
  virtual bool writeVideoPacket(const uint8_t* data, const unsigned& size, const uint64_t& ts, bool keyFrame,
                                int lowBitrate, int64_t dts = kDtsFromPts);
  // Writes out the media FFmpeg holds, then finishes FFmpeg's muxer state
  // with its trailer dropped.
  virtual void suspendOutput();
  // Starts FFmpeg's muxer state again with its header dropped; the next
  // packets continue the stream the sink has seen. |position| is not used
  // by this muxer. False (logged) when the muxer cannot start again: it
  // then writes nothing more, and the caller must say so.
  virtual bool resumeOutput(const uint64_t& position);
  // Hands buffered bytes to the sink.
  virtual void flush();
  // 0: a single output; the segmented muxer answers 1.
  virtual int kind() const { return 0; }
  virtual int createIOContext();
  // The context of the low-bitrate companion of total bit rate
  // |lowBitrate|, where the muxer writes companions (the segmented muxer);
  // null otherwise.
  virtual AVFormatContext* lowContext(int) const { return nullptr; }

  AVFormatContext* formatContext() const { return formatContext_.get(); }
  bool headerWritten() const { return headerWritten_; }

  int audioStreamIndex = -1;
  int videoStreamIndex = -1;
  // Packets go through FFmpeg's interleaving queue; off: written directly.
  bool interleaved = true;

  static constexpr int kIOBufferSize = 65536;
  static constexpr int64_t kDtsFromPts = AV_NOPTS_VALUE;

 protected:
  // A format context for the profile's container with delays and metadata
  // set, or null (logged).
  ff::FormatPtr initFFMpegContext();
  // The muxer's private options for every header written: streaming modes
  // and preload where the format has them.
  ff::DictionaryPtr privateOptions() const;
  // An audio packet of the audio stream holding a copy of |data|, with
  // |ts| as its times; null when out of memory.
  ff::PacketPtr audioPacket(const uint8_t* data, unsigned size, uint64_t ts) const;
  // Adds copies of |from|'s streams to |to|.
  static bool copyStreams(const AVFormatContext& from, AVFormatContext& to);
  // The private options of a header that continues the stream of
  // |previous| (a resumed muxer): see the comment at the top.
  static void continuationOptions(const AVFormatContext& previous, AVDictionary** options);

  const FFMpegStreamingProfile* profile_;
  MuxerSink* sink_;
  ff::FormatPtr formatContext_;
  bool headerWritten_ = false;
  bool trailerWritten_ = false;  // the stream ended; a resume goes on after it

 private:
  enum class Output { kPackets, kHeader, kDropped };
  static int writeCallback(void* opaque, uint8_t* data, int size);
  bool startMuxer(Output headerOutput, AVDictionary* extraOptions = nullptr);
  bool writePacket(AVFormatContext* context, AVPacket* packet, const char* kind, uint64_t ts);

  ff::IOContextPtr ioContext_;  // formatContext_->pb; freed after the format context
  Output output_ = Output::kPackets;
  std::vector<uint8_t> header_;  // gathered while the header is written
  bool suspended_ = false;
};

}  // namespace zan
