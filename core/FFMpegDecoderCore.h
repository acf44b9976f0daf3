// FFMpegDecoderCore: the one object that drives FFmpeg demuxing and
// decoding for the input plug-in and for the decoder and demuxer stages.
//
// It opens its input in one of three ways:
//   - init(location, extension): FFmpeg opens a file or URL itself;
//   - initWithTransportStream(...): bytes come from a read callback (and an
//     optional seek callback) through a custom AVIOContext;
//   - init(input, requested): transcoder input; no demuxer, the core builds
//     its own decoder streams and packets arrive one by one.
// It chooses one audio and one video stream, decodes them (or passes them
// through compressed when decoding of that kind is skipped), converts
// pictures to the delivered pixel format (packed YUV 4:2:2 unless rescaling
// mode asks for another) and audio to interleaved integer PCM (8, 16 or 32
// bits), and hands out frames whose times are microseconds.
//
// Frame memory: every delivered frame is a new[] array owned by the
// receiver, who frees it with delete[].
//
// Thread safety: every public operation takes the core's recursive mutex
// for its whole run, except setVideoDecodingMode(), getPosition() and
// abortRequested(). close() first raises this core's abort flag (without
// the lock), so that FFmpeg I/O blocked on another thread returns and lets
// it in. A process-wide abort flag (setAbort) stops the I/O of every core at
// once; the next open of any core lowers it.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "core/ReadDeadline.h"
#include "ffmpeg/FFmpegPtr.h"
#include "support/PMutex.h"
#include "zan/streamer/EngineRecords.h"
#include "zan/streamer/SamplePacket.h"
#include "zan/streamer/Types.h"

namespace zan {

class AudioConverter;
class VideoConverter;

// Result of an open when streams with working decoders existed but none of
// the needed kind could be chosen.
inline constexpr int kNoUsableStream = static_cast<int>(0x80004005);

class FFMpegDecoderCore {
 public:
  // Read callback: fills up to |size| bytes, returns the count, 0 at the
  // end, negative on error. Seek callback: returns the new position, or the
  // size for AVSEEK_SIZE, negative on error.
  typedef int (*ReadCallback)(void* opaque, uint8_t* buffer, int size);
  typedef int64_t (*SeekCallback)(void* opaque, int64_t offset, int whence);

  FFMpegDecoderCore();
  virtual ~FFMpegDecoderCore();
  FFMpegDecoderCore(const FFMpegDecoderCore&) = delete;
  FFMpegDecoderCore& operator=(const FFMpegDecoderCore&) = delete;

  // ---- opening ----------------------------------------------------------
  // 0 on success, FFmpeg's negative code when opening or probing failed,
  // kNoUsableStream when no usable stream was found.
  int init(const std::string& location, const std::string& extension);
  // |seek| may be null (the stream cannot be positioned). An unknown
  // |formatName| falls back to "mpegts".
  int initWithTransportStream(const std::string& streamName, const std::string& formatName, ReadCallback read,
                              SeekCallback seek, void* opaque);
  // Transcoder input: true when the decoder streams could be built.
  bool init(const streamer::InputStreamDescription* input, const streamer::RequestedStreamDescription* requested);
  // Frees everything an open made; safe in every state, and repeatable.
  void close();
  // Why the last open of a location or stream failed ("HTTP 404",
  // "certificate not trusted", "not a media stream", ...); empty after a
  // successful one.
  std::string openFailureCause() {
    PLockGuard guard(lock_);
    return openFailure_;
  }

  // ---- settings -----------------------------------------------------------
  // Pass the stream through compressed instead of decoding it. The stream
  // choice of an open reads the flags once; decoding and describing read
  // them at every call.
  bool skipAudioDecoding();
  bool skipVideoDecoding();
  // 0 all frames, 1 key frames only, 2 no video frame. False without video.
  bool setVideoDecodingMode(int mode);

  // ---- describing ---------------------------------------------------------
  // The time stamp of the last delivered frame, in milliseconds.
  void getPosition(uint64_t& position);
  // -1 when nothing is open.
  int getMediumDescription(streamer::MediumDescription* medium);
  // The streams as stored in the medium (compressed).
  void getInputStreamDescription(streamer::OutputStreamDescription* description);
  // What the core delivers.
  void getOutputStreamDescription(streamer::OutputStreamDescription* description);

  // ---- positioning ----------------------------------------------------------
  // Both take milliseconds from the start of the medium (the medium's start
  // time is added for the stream clock frames are stamped in).
  // Moves the input to |milliseconds|: video resumes on the first key frame
  // at or after it and audio with that picture. False (state untouched)
  // when FFmpeg refused the seek.
  bool setPosition(uint64_t milliseconds);
  // Resets the decoding state for a new position without moving the input;
  // packets outside [position, position + 6 s] are then dropped.
  void flush(uint64_t milliseconds);

  // ---- reading --------------------------------------------------------------
  // The next audio or video frame of the medium; false at the end, on a read
  // error, or when nothing is open. |data| must be null on entry.
  bool decodeFromMedium(streamer::PACKETTYPE& type, uint8_t*& data, unsigned& size, uint64_t& time,
                        uint64_t& duration, void*& frameContext, bool& keyFrame);
  // Decodes one engine packet (transcoder input). |time| and |duration|
  // carry the packet's times in. The core releases the packet, or, when it
  // passes the packet through unchanged, hands it back as |frameContext| (the
  // receiver releases it). A packet of another type than audio or video is
  // released and gives false.
  bool decodeFromPacket(streamer::SamplePacket* packet, streamer::PACKETTYPE& type, uint8_t*& data,
                        unsigned& size, uint64_t& time, uint64_t& duration, void*& frameContext, bool& keyFrame);
  // Transcoder input: what the decoders still hold once the input ended
  // (reordered pictures, delayed samples), one frame per call; false when
  // nothing is left, after which the decoders take new packets again.
  bool drainPacketInput(streamer::PACKETTYPE& type, uint8_t*& data, unsigned& size, uint64_t& time,
                        uint64_t& duration, bool& keyFrame);
  // Reads and discards one packet, reporting its type and raw time stamp
  // (stream units). False when nothing is open or reading fails.
  bool skipPacket(streamer::PACKETTYPE& type, int64_t& timestamp, int64_t& duration);

  // ---- state the owners read ------------------------------------------------
  int64_t duration();  // milliseconds, 0 = unknown
  void setDuration(int64_t milliseconds);
  bool isSeekable();
  bool isRescalingMode();
  bool hasVideo();
  bool hasAudio();

  // The process-wide abort flag read by every core's FFmpeg interrupt
  // callback.
  static void setAbort(bool abort);
  static bool isAborted();
  // This core's own abort flag: raised by close() until the next open.
  bool abortRequested() const { return abortRequested_.load(std::memory_order_acquire); }
  // Whether reading a location FFmpeg downloads itself has ended short of
  // the medium's end (a failed reconnect, a silence past the deadline) since
  // the last call; true once per break. The decoder's user reports it as a
  // broken download.
  bool takeDownloadBreak() { return downloadBroke_.exchange(false, std::memory_order_acq_rel); }

 private:
  struct ByteSource;  // the owner's byte-stream callbacks, read by FFmpeg
  bool videoDecoded() const;

  // opening
  void commonOpenStart();
  void resetDecodeState();
  int initFormatStreams();
  bool streamInfoComplete(bool hasAudioDecoder, bool hasVideoDecoder, bool gotPicture);
  bool isBetterStream(const AVStream* candidate, const AVStream* current);
  bool setUpVideo(int index);
  void setUpAudio(int index);
  bool allocateOutputPicture();
  AVCodecContext* videoCodec() const;
  AVCodecContext* audioCodec() const;
  void computeDuration();
  void applyTransportFlags(const std::string& formatName);

  // seeking (DecoderCoreSeek.cc)
  // The next packet: what a seek read ahead first, then the demuxer's.
  int readPacket(AVPacket* packet);
  // Notes a failed read of FFmpeg's own network input that is no complete
  // medium's end.
  void noteReadFailure(int result);
  const AVPacket* readAhead();
  // Time seek to |target| (FFmpeg's microsecond clock); |landed| is where
  // delivery resumes: the first video key frame at or after the target.
  bool seekToKeyFrame(int64_t target, int64_t& landed);
  int64_t firstLeadTime(int leadIndex);
  int64_t mediumStart() const;  // microseconds; 0 when unknown
  // Microseconds from the medium's start, in the clock frames are stamped in.
  uint64_t deliveredClock(uint64_t fromStart) const;

  // transcoder input
  bool initVideo(const streamer::VideoDescription* input, const streamer::VideoDescription* requested);
  bool initAudio(const streamer::AudioDescription* input, const streamer::AudioDescription* requested);
  bool initVideoRescaling(const streamer::VideoDescription* input, const streamer::VideoDescription* requested);
  bool initVideoTranscoding(const streamer::VideoDescription* input, const streamer::VideoDescription* requested);
  bool addVideoStream(const streamer::VideoDescription* input);
  bool addAudioStream(const streamer::AudioDescription* input);

  // decoding
  // |time| and |duration| come in as stream units and leave as microseconds.
  bool decodeVideoPacket(AVPacket* packet, int64_t incomingTime, uint8_t*& data, unsigned& size, uint64_t& time,
                         uint64_t& duration, bool& keyFrame);
  bool decodeAudioPacket(AVPacket* packet, int64_t incomingTime, uint8_t*& data, unsigned& size, uint64_t& time,
                         uint64_t& duration);
  bool receivePicture();
  bool deliverPicture(int64_t incomingTime, int64_t incomingDuration, uint8_t*& data, unsigned& size,
                      uint64_t& time, uint64_t& duration, bool& keyFrame);
  // The video skip rules applied to a decoded picture; false drops it.
  bool acceptVideo(uint64_t time, bool keyFrame, uint8_t*& data, unsigned& size);
  // Encoder priming: a negative-time audio packet the container marks for
  // trimming is decoded for the decoder's sake; nothing before time 0 is
  // delivered.
  bool isAudioPriming(const AVPacket* packet) const;
  bool decodePrimingPacket(AVPacket* packet, uint8_t*& data, unsigned& size, uint64_t& time, uint64_t& duration);
  bool drainDecoders(streamer::PACKETTYPE& type, uint8_t*& data, unsigned& size, uint64_t& time,
                     uint64_t& duration, bool& keyFrame);
  bool convertRawFrame(streamer::SamplePacket* packet, uint8_t*& data, unsigned& size);
  // Transcoder input: true when the packet is a codec header, kept for the
  // next picture.
  bool holdVideoHeader(streamer::SamplePacket* packet);
  void applyDiscardLevel();
  uint64_t toMicroseconds(int64_t value, AVRational timeBase) const;
  // A copied packet's stream-clock time counted from the medium's start,
  // as decoded ones are: audio and video of one medium stay together.
  uint64_t fromMediumStart(uint64_t time) const;
  void unwrapTimes(AVPacket* packet) const;
  // |microseconds| truncated to a count; 0 when it fits no 64-bit count.
  static uint64_t microsecondCount(double microseconds);

  static int interruptCallback(void* core);
  // Whether the location FFmpeg reads itself has gone without a byte past
  // its deadline (never for byte streams and transcoder input).
  bool networkStalled();

  PMutex lock_{true};
  std::atomic<bool> abortRequested_{false};
  std::atomic<bool> downloadBroke_{false};
  std::string openFailure_;  // written by the opens, read by the owner after one failed
  // The location open's context while FFmpeg reads it (during the open and
  // after it), watched by stallWatch_; null otherwise.
  AVFormatContext* watched_ = nullptr;
  ReadDeadline stallWatch_;

  // -- medium ------------------------------------------------------------------
  int64_t duration_ = 0;          // milliseconds
  std::atomic<int64_t> position_{0};  // microseconds of the last delivered frame; read without the lock
  uint64_t seekTarget_ = 0;       // microseconds; lower bound of accepted times
  uint64_t seekFromStart_ = 0;    // the same, counted from the medium's start (pass-through clock)
  std::string extension_;
  bool byteSeek_ = false;
  bool decoderClock_ = false;
  bool counterClock_ = false;
  bool seekable_ = true;
  ff::InputFormatPtr input_;      // file or stream open
  ff::FormatPtr streamsOnly_;     // transcoder input: holds the streams the core adds
  std::shared_ptr<ByteSource> byteSource_;  // outlives byteContext_, which points at it
  ff::IOContextPtr byteContext_;  // the stream open's reader
  AVFormatContext* formatContext_ = nullptr;  // whichever of the two above exists
  bool opened_ = false;
  bool isTransportStream_ = false;
  bool endOfInput_ = false;       // the demuxer has nothing more to read
  bool videoDrainSent_ = false;   // the video decoder was told the input ended
  bool audioDrained_ = false;     // the audio decoder gave its last samples

  // -- video ---------------------------------------------------------------------
  AVStream* videoStream_ = nullptr;
  std::atomic<bool> videoChosen_{false};  // videoStream_ is set; read without the lock
  int videoStreamIndex_ = -1;
  ff::CodecContextPtr videoCodec_;
  std::unique_ptr<VideoConverter> videoConverter_;
  ff::FramePtr decodeFrame_;
  int outputWidth_ = 0, outputHeight_ = 0;
  int outputBufferSize_ = 0;
  int videoLayout_ = 1;
  int reportedLayout_ = 1;  // layout word of rescaled pictures as delivered
  unsigned videoBitrate_ = 0;
  int videoFrameSize_ = 0;
  double frameRate_ = 0.0;
  // The longest key-frame run the demuxer's index shows (KeyFrameSpacing.h);
  // -1: not known.
  int64_t keyFrameRunUs_ = -1;
  int sourcePixelFormat_ = AV_PIX_FMT_RGB24, sourceWidth_ = 0, sourceHeight_ = 0;
  int outputPixelFormat_ = 5;  // engine code: packed YUV 4:2:2
  int sourceEngineFormat_ = -1;  // engine code of raw transcoder input
  bool rescalingMode_ = false;
  AVRational transcoderTimeBase_{1, 30};  // the decoder time base of transcoder input
  // Transcoder input: codec headers for the next picture.
  std::vector<uint8_t> pendingVideoHeader_;  // parameter sets, put in front of it
  std::vector<uint8_t> pendingExtradata_;    // a configuration record, given as new extradata
  bool videoPacketSeen_ = false;             // a video packet came in since the open
  uint64_t frameCounter_ = 0;
  std::atomic<int> decodingMode_{0};
  bool sendVideoHeader_ = false;

  // -- audio ---------------------------------------------------------------------
  AVStream* audioStream_ = nullptr;
  int audioStreamIndex_ = -1;
  ff::CodecContextPtr audioCodec_;
  std::unique_ptr<AudioConverter> audioConverter_;
  int audioBitsPerSecond_ = 0, audioBitsPerFrame_ = 0, audioLayout_ = 0;
  int audioBitsPerSample_ = 16, audioSampleRate_ = 0, audioChannels_ = 0;
  int audioFlags_ = static_cast<int>(0x80000000u);
  uint64_t audioNextTimestamp_ = 0, audioLastTimestamp_ = 0;
  int audioPacketQuantum_ = 0;  // -1: the stream's packets are not aligned to it
  std::vector<uint8_t> audioScratch_;  // decoded blocks of one packet, joined
  bool audioPriming_ = false;          // the last audio packet was encoder priming

  // -- skip rules ------------------------------------------------------------------
  int64_t firstAudioTimestamp_ = AV_NOPTS_VALUE, lastAudioTimestamp_ = 0;
  int64_t firstVideoTimestamp_ = AV_NOPTS_VALUE;
  uint64_t lastVideoTimestamp_ = 0;  // microseconds; 0 = none
  bool checkLateFrames_ = true;
  // FFmpeg's wrap correction puts the times before a 33-bit wrap below zero
  // when a stream begins shortly before it; read packets are moved up by one
  // wrap (wrapShift_ microseconds) so that times count on across it.
  bool unwrapTimes_ = false;
  int64_t wrapShift_ = 0;
  bool outputDescribed_ = false;
  bool videoFailing_ = false;
  bool videoDecodedOnce_ = false;
  bool waitKeyframe_ = false;
  bool videoSeekPending_ = false, audioSeekPending_ = false;
  std::atomic<bool> skipAudio_{false}, skipVideo_{false};
  unsigned audioSkipCount_ = 0, videoSkipCount_ = 0;
  bool videoDecodeError_ = false;  // the last video packet failed to decode

  ff::PacketPtr packet_;  // reused for every read
  std::deque<ff::PacketPtr> readAhead_;  // read by a seek past its landing point, delivered first
};

}  // namespace zan
