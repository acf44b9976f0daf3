// MPEG-TS cut into files of about ten seconds, for segmented (HLS-style)
// delivery: the muxer writes numbered .ts files into a cache folder under
// the temporary folder and announces each finished file to the encoder's
// sink as a PACKET_SEGMENT packet (its path as UTF-16LE text, its start and
// duration in the stream's time units). Besides the main output it writes
// up to four low-bitrate companions, each into files of its own with the
// same audio and its own video.
//
// Files: BASE-N.ts for the main output and BASE-N-low-BITRATE.ts for the
// companion of that total bit rate, where BASE is
// CACHE/segment-TICK (TICK: milliseconds of the system clock when the base
// was chosen) and CACHE is $TMPDIR/ZanStreamCache/ (or the temporary folder
// itself when that folder cannot be had or is not the user's own). The base
// is reserved by an empty file at BASE itself, so two muxers, in one
// process or several, never share one. Every file is created new (an
// existing file is never written into) and close() removes the files this
// muxer created, last first, as long as they are still the files it made:
// a file someone moved away or replaced is left alone.
//
// Cutting. Every output cuts on its own video key frames: the first key
// frame more than one segment length after the segment began starts the
// next file. The encoder forces an intra picture into every output on the
// same picture, so all outputs cut at the same time while each of their
// segments still begins with a key frame (each encoder has its own delay,
// so the files cannot be switched at one moment for all). Without video,
// audio time cuts all outputs. Audio waits for each output's video (it is
// only known on which side of a cut it falls once the pictures around it
// are written), but not for ever: when an output's newest audio lies more
// than one segment length past its latest picture, the video has ended or
// stalls, and that output's audio goes on alone, cut by audio time, one
// segment length behind the newest audio, until a picture comes again. So
// no output holds more than about a segment of audio. (The encoder writes
// out the pictures its encoders still hold after half that time without a
// picture, so none of them comes after audio cut past it.) Before a file
// is closed, what FFmpeg holds
// for it (interleaving queue, buffered PES data) is written into it; a file
// is announced only once it is flushed and closed, and never when it holds
// no media or a write to it failed.
//
// After suspendOutput()/resumeOutput(position) the current files are
// dropped unannounced and writing goes on under a new base with files
// numbered from floor(position / 10 s), each with its own header; also
// after writeTrailer(), when the stream goes on after its end.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "output/BasicMuxer.h"
#include "output/SegmentFile.h"

namespace zan {

class MpegTSSegmentedMuxer : public BasicMuxer {
 public:
  MpegTSSegmentedMuxer(MuxerSink* sink, const FFMpegStreamingProfile* profile);
  ~MpegTSSegmentedMuxer() override;

  // The main context and one per low-bitrate entry of the profile, then
  // the base path and the first files (number 1).
  int open() override;
  // Drops the files in progress unannounced (the end of stream finishes
  // them: writeTrailer), frees the contexts and removes every file this
  // muxer created.
  void close() override;
  // One header per output, into its file. Companions that were given no
  // stream are dropped here.
  bool writeHeader() override;
  // Finishes and announces the last files (duration 0).
  bool writeTrailer() override;
  bool writeAudioPacket(const uint8_t* data, const unsigned& size, const uint64_t& ts, int lowBitrate) override;
  // |lowBitrate| 0 is the main output; another value the companion of that
  // bit rate (no such companion: the packet is dropped, false).
  bool writeVideoPacket(const uint8_t* data, const unsigned& size, const uint64_t& ts, bool keyFrame, int lowBitrate,
                        int64_t dts = kDtsFromPts) override;
  void suspendOutput() override;
  bool resumeOutput(const uint64_t& position) override;
  void flush() override;
  int kind() const override { return 1; }
  int createIOContext() override;
  AVFormatContext* lowContext(int lowBitrate) const override;

  const std::string& basePath() const { return basePath_; }

  // One segment length in units of |timeBase|: |seconds| of stream time
  // (the profile's segmentSeconds). Every output and the encoder's choice
  // of cut pictures use this.
  static int64_t segmentLength(AVRational timeBase, int seconds);
  // Where the segment files go, with a trailing slash.
  static std::string cacheFolder();

 private:
  static constexpr int64_t kNotSet = INT64_MIN;

  struct Output {
    int lowBitrate = 0;        // 0: the main output
    ff::FormatPtr ownContext;  // a companion's; the main one is the base class's
    AVFormatContext* context = nullptr;
    SegmentFile file;
    uint32_t number = 0;
    int64_t segmentStart = kNotSet;
    bool hasMedia = false;  // a packet went into the current file
    bool headerWritten = false;
    std::deque<ff::PacketPtr> heldAudio;  // waiting for this output's video
    int64_t videoReached = INT64_MIN;     // the latest video time written
    bool audioLed = false;  // its video ended or stalls: audio time cuts it
  };

  ff::FormatPtr newContext();
  bool chooseBasePath();
  bool openFile(Output& output, uint32_t number);
  // Writes out what FFmpeg holds for the file, closes it and announces it.
  void finishFile(Output& output, int64_t duration);
  bool checkSegmentation(Output& output, int64_t ts);
  // Writes the held audio that lies before |videoTs| (video time base;
  // INT64_MAX: all of it); while the output is audio-led, each packet may
  // cut a segment first.
  void releaseAudio(Output& output, int64_t videoTs);
  Output* find(int lowBitrate) const;
  void setSegmentLength(int streamIndex);

  std::vector<std::unique_ptr<Output>> outputs_;  // [0]: the main output
  std::string basePath_;
  std::deque<SegmentFile::Identity> written_;  // the segment files created and not yet taken away
  std::vector<SegmentFile::Identity> markers_;  // the bases taken
  int64_t segmentDuration_ = 0;
  bool suspended_ = false;
};

}  // namespace zan
