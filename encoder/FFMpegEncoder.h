// The encoder stage ("FFMpegEncoder"): decoded pictures and PCM in, a
// streaming container (FLV with the library's onMetaData, MPEG-TS,
// fragmented MP4, MP3, AMR, ...) out as PACKET_MUXED bytes, or, for an RTP
// target, one PACKET_VIDEO / PACKET_AUDIO packet per RTP payload (video
// slices cut by RtpVideoPacketizer, audio frames in the payload formats of
// output/InternalSamplePacket.h), each with its time and duration.
//
// Data flow. init() turns the request into a profile, opens a muxer and one
// encoder per stream (FFmpeg's, or AmrEncoder for AMR; EncoderSetup.cc,
// EncoderCodecValues.cc). The
// engine's feeding thread calls write(): packets wait in an audio and a
// video input queue until the two streams are lined up in time
// (EncoderInput.cc), then leave them in time order to the video encoder
// (EncoderVideo.cc) or the audio encoder (EncoderAudio.cc), or straight to
// the muxer when a stream is copied through. Every byte the muxer produces
// reaches this object through its MuxerSink and becomes a packet of the
// output queue (EncoderOutput.cc), which the engine's reading thread drains
// with readFrame()/freeFrame(). The end packet drains both encoders and the
// muxer before PACKET_END is queued, so nothing written before it is lost.
// A resetPosition() after the end starts the encoders again and the stream
// goes on after its end, as after any restart.
//
// Failure. A dead end the stream cannot go on from (a muxer that does not
// start again after a restart, an encoder that does not reopen) is logged
// at ERROR and ends the output without its end marker: nothing more is
// encoded, and once the reader has taken what is queued readFrame()
// answers false instead of waiting. The engine (and zanstream) thus learns
// that the output is incomplete. Only init() clears the state.
//
// Threads and locks. write(), resetPosition(), start(), stop() and close()
// take writeLock_ for their whole run; everything FFmpeg does happens under
// it. The output queue, its byte count and the back-pressure and stop flags
// are guarded by queueLock_, which is only ever held briefly (inside
// writeLock_ or alone). A writer that finds the output queue over its high
// mark waits, holding writeLock_, until the reader has taken it below the
// low mark; the reader never needs writeLock_, so this cannot deadlock.
// The failure flag is set under both locks and read under either, so the
// reader that waits in readFrame() is woken by it.
//
// Each encoder owns its muxer, which reaches it through the MuxerSink
// pointer it was given (and its RTP packetiser, through its own opaque
// pointer): any number of encoders can run in one process, on threads of
// their own.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ffmpeg/FFmpegPtr.h"
#include "encoder/AmrEncoder.h"
#include "encoder/AudioFrameBuilder.h"
#include "encoder/CopiedVideoTimes.h"
#include "encoder/profile/FFMpegStreamingProfile.h"
#include "encoder/RtpVideoPacketizer.h"
#include "output/MuxerSink.h"
#include "support/CBBLog.h"
#include "zan/streamer/PluginInterfaces.h"

namespace zan {

class BasicMuxer;
class InternalSamplePacket;

class FFMpegEncoder : public streamer::TranscoderPluginInterface, private MuxerSink {
 public:
  FFMpegEncoder();
  ~FFMpegEncoder() override;
  FFMpegEncoder(const FFMpegEncoder&) = delete;
  FFMpegEncoder& operator=(const FFMpegEncoder&) = delete;

  // InputStream: the output side, for the engine's reading thread.
  void getOutputStreamDescription(streamer::OutputStreamDescription* description) override;
  // Blocks until an output packet is queued or stop() is called (then
  // false). The packet is the frame context; freeFrame() deletes it.
  bool readFrame(streamer::PACKETTYPE& type, uint8_t*& data, unsigned& size, uint64_t& time, uint64_t& duration,
                 void*& frameContext, bool& keyFrame) override;
  void freeFrame(uint8_t* data, void* frameContext) override;

  // OutputStream: the input side, for the engine's feeding thread.
  void write(streamer::SamplePacket* packet) override;
  // The source jumped to |position| ms: queues emptied, encoders restarted
  // and the muxer restarted without a new header.
  void resetPosition(uint64_t position) override;

  streamer::PluginErrorCodes init(const streamer::MediumDescription* medium,
                                  const streamer::InputStreamDescription* input,
                                  const streamer::RequestedStreamDescription* requested,
                                  const streamer::MapGeneric* settings) override;
  bool close() override;
  // Writes the container header; false without a muxer or when FFmpeg
  // refuses it.
  bool start() override;
  // Releases every waiter (writer and reader) and closes the muxer.
  bool stop() override;

  const FFMpegStreamingProfile* getProfile() const { return profile_.get(); }
  // Drops every queued input and output packet (except a container header
  // not read yet and segment announcements) and the audio waiting for a
  // whole frame.
  void flush();

  // Output-queue marks: a writer waits above kHighMark queued bytes until
  // the reader has taken the queue below kLowMark.
  static constexpr uint64_t kHighMark = 15728640;
  static constexpr uint64_t kLowMark = 3145728;
  // Audio/video alignment window (audio time minus video time, µs) and the
  // queue length at which alignment is given up.
  static constexpr int64_t kAudioEarlyLimit = -10000;
  static constexpr int64_t kAudioLateLimit = 100000;
  static constexpr size_t kSyncGiveUpPackets = 100;
  // After a restart this many pictures are coded as intra pictures.
  static constexpr uint64_t kRestartIntraPictures = 11;
  // Segmented output: audio this far (µs) past the last picture means the
  // video has ended or stalls; the pictures the video encoders still hold
  // are written out (half the segment length after which the muxer cuts
  // the audio alone, so that they all come before it does).
  static constexpr uint64_t kVideoStallUs = 5000000;

 private:
  enum class Kind { kVideo = 0, kAudio = 1 };

  // One encoded stream of the output.
  struct Output {
    int index = -1;              // the muxer's stream index; -1: no such stream
    std::string codecName;       // the profile's (classic) codec name
    ff::CodecContextPtr codec;   // the FFmpeg encoder; null when copied through
    std::unique_ptr<AmrEncoder> amr;  // the AMR encoder instead of an FFmpeg one
    bool passthrough = false;
    bool encodes() const { return codec != nullptr || amr != nullptr; }
  };

  // A low-bitrate companion of the video (segmented output only): its own
  // encoder, picture size and picture rate. It runs on the main encoder's
  // time base and takes a picture whenever the next one of its own rate is
  // due, and always the pictures where a segment begins, so that its
  // segments are cut on the same picture as the main output's.
  struct LowVideo {
    int bitrate = 0;  // the profile's entry: names the companion to the muxer
    ff::CodecContextPtr codec;
    ff::FramePtr picture;  // null: encoded from the main picture
    ff::SwsPtr scaler;
    double step = 1.0;  // main codec units between two of its pictures
    double due = 0.0;   // main codec pts of its next picture
    bool started = false;
  };

  // ---- setup (EncoderSetup.cc) ----
  streamer::PluginErrorCodes initFFMpeg();
  streamer::PluginErrorCodes initRtp();
  void allocatePicture();
  // Adds the stream of |kind| to the muxer and opens its encoder; false
  // (logged, |out| left without a stream) when the codec is missing or does
  // not open.
  bool addNewStream(Output& out, const std::string& codecName, Kind kind, bool passthrough);
  // The same for a stream the request names: true when it is "none" or was
  // added; false (logged with the codec's name) fails init, since a stream
  // left out would pass for a complete output.
  bool addRequestedStream(Output& out, const std::string& codecName, Kind kind, bool passthrough);
  // Rewrites the profile's target as the streams were really set up (the
  // engine reads it through getOutputStreamDescription, the FLV header
  // from the profile): sizes after rounding, frame rates, bit rates, their
  // sum, and "none" for a stream the output does not carry.
  void describeOutput();
  // A new encoder context for |out| with every value of the profile, opened.
  ff::CodecContextPtr openEncoder(const std::string& codecName, Kind kind);
  // Opens |out|'s encoder (FFmpeg's, or AMR's for those names); false when
  // there is none or it does not open (logged).
  bool openStreamEncoder(Output& out, const std::string& codecName, Kind kind);
  int audioRate() const;
  void publishCodecData(const AVCodecContext& codec, Kind kind);
  // A companion of a segmented output: the main audio stream copied into
  // its context, and a video stream with its own encoder.
  bool addLowStream(AVFormatContext& context, int bitrate);
  // A new encoder for |low|, opened; false (logged) when it does not open.
  bool openLowEncoder(LowVideo& low);
  // Every companion of the profile, each into the muxer's context of its
  // bit rate; false (logged) when one cannot be had: the ladder asked for
  // cannot be made.
  bool addLowStreams();

  // ---- codec values (EncoderCodecValues.cc) ----
  void adjustVideoCodecValues(AVCodecContext& codec, const AVCodec& encoder, AVDictionary** options) const;
  void getH264Parameters(AVCodecContext& codec, AVDictionary** options) const;
  void adjustVideoCodecValuesLow(AVCodecContext& codec, const AVCodec& encoder, AVDictionary** options,
                                 int bitrate) const;
  // The size the encoder codes: the request's when it gave one, else the
  // source's.
  void targetSize(int& width, int& height) const;
  void adjustAudioCodecValues(AVCodecContext& codec, const AVCodec& encoder) const;

  // ---- input side (EncoderInput.cc) ----
  bool needAudioVideoSync() const;
  // The next packet to process in time order, or null while the streams
  // are not lined up yet. The caller owns the returned reference.
  streamer::SamplePacket* getNextInputPacket();
  void processPacket(streamer::SamplePacket* packet);
  // ---- copied streams (EncoderPassthrough.cc) ----
  void writePassthroughVideo(streamer::SamplePacket& packet);
  // Whether a copied picture goes out (false: no time or bytes, or before
  // the first key frame).
  bool takesCopiedPicture(streamer::SamplePacket& packet);
  // A new copied stream, or one from a new position: from a key frame again.
  void awaitCopiedKeyFrame() {
    copiedKeySeen_ = false;
    firstLeftOut_ = streamer::kNoTime;
  }
  void writePassthroughAudio(streamer::SamplePacket& packet);
  // RTP targets: a copied stream's payloads, set up from the source's
  // configuration (false, logged, for codecs without a payload format here).
  bool openCopiedRtp(Output& out, const std::string& codecName, Kind kind, int payloadSize);
  void sendCopiedVideo(streamer::SamplePacket& packet);
  void sendCopiedAudio(streamer::SamplePacket& packet);
  // Sends the copied audio frame held back for RTP, if any.
  void sendHeldAudio();
  // After resetPosition(): new encoders and the muxer started again at
  // |position|; false (failed) when any of them cannot be had.
  bool restartOutput(uint64_t position);
  // Logs |what| at ERROR and ends the output without its end marker (see
  // Failure above). Called holding writeLock_.
  void fail(const char* what);
  void setUpCopiedVideo(AVStream& stream, const std::vector<uint8_t>& config);
  void setUpCopiedAudio(AVStream& stream, const std::vector<uint8_t>& config);
  // The end packet: drains the encoders, finishes the container and queues
  // PACKET_END.
  void finishStream();
  void releaseInputQueues();

  // ---- output side (EncoderOutput.cc) ----
  void pushPacket(std::unique_ptr<InternalSamplePacket> packet);
  InternalSamplePacket* popPacket();
  void headerBytes(const uint8_t* data, size_t size) override;
  void muxedBytes(const uint8_t* data, size_t size) override;
  void segmentFinished(std::unique_ptr<InternalSamplePacket> announcement) override;
  // Waits (holding writeLock_) while the output queue is over its marks.
  void waitForRoom();
  bool isStopped();
  bool hasOutput() const { return muxer_ != nullptr || rtp_; }
  void pushPayload(streamer::PACKETTYPE type, const uint8_t* data, size_t size, uint64_t time, uint64_t duration,
                   bool keyFrame);

  // ---- video (EncoderVideo.cc) ----
  void encodeVideoPacket(streamer::SamplePacket& packet);
  // Sends |frame| (null: drain) to the video encoder and writes what comes
  // out: to the muxer, or as RTP payload packets.
  void doEncodeVideo(const AVFrame* frame);
  // Sends |frame| (null: drain) to a companion's encoder and writes what
  // comes out.
  void doEncodeLow(LowVideo& low, const AVFrame* frame);
  // Writes every coded picture |codec| has ready to the muxer, as the
  // output named by |lowBitrate|.
  void writeCodedVideo(AVCodecContext& codec, int lowBitrate);
  // The source pictures' size and format, for the scalers: a change
  // makes every scaler anew.
  bool prepareScaler(int width, int height, AVPixelFormat format);
  // A segmented output begins a new segment on the picture of |pts|: the
  // same rule the muxer applies to key frames, applied before encoding.
  bool startsSegment(int64_t pts);
  // Segmented output: audio of engine time |audioTime| came; when the
  // pictures have stopped, the video encoders are drained.
  void drainStalledVideo(uint64_t audioTime);
  // A picture after such a drain: the video encoders are opened anew;
  // false when one does not open.
  bool reopenDrainedVideo();
  void encodeLowPictures(uint8_t* const planes[4], const int strides[4], int64_t pts, bool cut);

  // ---- audio (EncoderAudio.cc) ----
  void encodeAudioPacket(streamer::SamplePacket& packet);
  // Encodes every whole frame the builder holds; with |final|, also the
  // padded remainder, then drains the encoder.
  void encodeAudioFrames(bool final);
  void doEncodeAudio(const AVFrame* frame);

  std::shared_ptr<CBBLog> log_;
  std::unique_ptr<FFMpegStreamingProfile> profile_;

  // Guards everything below down to the output queue: the whole FFmpeg side.
  std::mutex writeLock_;
  std::unique_ptr<BasicMuxer> muxer_;  // null for RTP targets
  bool rtp_ = false;                   // RTP payloads instead of a container
  RtpVideoPacketizer rtpVideo_;
  Output video_;
  Output audio_;
  std::vector<LowVideo> lowVideo_;

  std::deque<streamer::SamplePacket*> videoInput_;  // one reference each
  std::deque<streamer::SamplePacket*> audioInput_;
  int64_t audioVideoDiff_ = INT64_MIN;  // 0: off; INT64_MIN: not known yet
  int64_t firstAudioTs_ = INT64_MIN;
  int64_t firstVideoTs_ = INT64_MIN;
  bool waitForVideo_ = false;
  uint64_t seekOffset_ = 0;  // µs: raw video before it is dropped
  bool audioEncoded_ = false;
  bool videoEncoded_ = false;
  bool ended_ = false;  // the end packet was processed (until a reset)
  // Written under writeLock_ and queueLock_, read under either: a dead end
  // was reached (see Failure above).
  bool failed_ = false;

  // Video encoding state.
  ff::FramePtr picture_;  // the encoder's source picture
  ff::SwsPtr swsContext_;
  int swsWidth_ = 0, swsHeight_ = 0;
  AVPixelFormat swsFormat_ = AV_PIX_FMT_NONE;
  int64_t timeOffset_ = 0;
  int64_t currentVideoTime_ = 0;
  int64_t videoStartTime_ = -1;
  int frameDuration_ = 0;
  uint64_t frameNumber_ = 0;
  uint64_t restartFrame_ = 0;  // frameNumber_ at the last restart after pictures were coded; 0: none
  int64_t lastPts_ = -1;
  int64_t segmentStart_ = INT64_MIN;  // main stream units; segmented output only
  uint64_t lastVideoInput_ = streamer::kNoTime;  // engine time of the last picture encoded
  bool videoDrained_ = false;  // the video encoders were drained at a stall

  // Copied video: decoding times, and the frame length for the first ones.
  CopiedVideoTimes copiedTimes_;
  // Whether a copied key frame has gone out yet: the pictures of a source
  // cut inside a group of pictures refer to ones it lacks, decode to
  // nothing anywhere and would open the first segment with pictures that
  // cannot be shown; they are left out, as the ffmpeg tool does.
  bool copiedKeySeen_ = false;
  uint64_t firstLeftOut_ = streamer::kNoTime;  // time of the first picture left out; kNoTime: none
  uint64_t copiedFrameDuration_ = 40000;
  int64_t lastCopiedAudio_ = INT64_MIN;  // copied audio's last time, stream units
  // RTP: the last copied audio frame, sent once the next shows it is no
  // priming frame, or at the end.
  struct HeldAudio {
    std::vector<uint8_t> bytes;  // without an ADTS header
    uint64_t time = 0, duration = 0;  // µs
    bool held = false;
  } heldAudio_;

  // Audio encoding state.
  AudioFrameBuilder audioFrames_;
  std::vector<uint8_t> widened_, folded_;  // scratch of the width and channel steps
  int64_t audioSampleCount_ = 0;           // samples per channel sent to the encoder
  int64_t audioPtsBase_ = 0;               // codec units added to the sample count after a restart
  bool audioRestart_ = false;

  // Output queue and its flags.
  std::mutex queueLock_;
  std::condition_variable queueReady_;   // a packet arrived, or stop()
  std::condition_variable inputReady_;   // inputAllowed_ was set
  std::deque<InternalSamplePacket*> outputQueue_;  // owned
  // The container header while it waits in the queue: flush() keeps it, a
  // reader that missed it could not read anything that follows.
  const InternalSamplePacket* pendingHeader_ = nullptr;
  uint64_t queuedBytes_ = 0;
  bool inputAllowed_ = true;
  bool stopped_ = false;
};

}  // namespace zan
