// The decoder stage ("FFMpegDecoder") driven as the engine drives it: a
// writer thread writes packets, a reader thread pulls frames, a controller
// describes and stops. Compressed packets come from a core opened on a file
// with decoding skipped (the codec header first, then H.264 and AAC
// packets), so the stage sees what an input plug-in hands on.
//
// Media (tests/common/TestMedia.h):
//   ffmpeg -f lavfi -i testsrc2=size=160x120:rate=25:duration=4
//          -f lavfi -i sine=frequency=440:sample_rate=44100:duration=4
//          -c:v libx264 -preset ultrafast -g 25 -pix_fmt yuv420p
//          -c:a aac -ac 2 -b:a 64k  {mp4_h264_aac.mp4 | -f mpegts ts_h264_aac.ts}
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "host/records/Records.h"
#include "tests/common/FrameReading.h"
#include "tests/common/TestMedia.h"
#include "tests/common/TestSupport.h"
#include "tests/transcoders/StageTestSupport.h"
#include "transcoders/FFMpegDecoder.h"

namespace zan {
namespace {

using namespace std::chrono_literals;
using streamer::kNoTime;
using streamer::PACKET_AUDIO;
using streamer::PACKET_END;
using streamer::PACKET_MUXED;
using streamer::PACKET_VIDEO;
using streamer::PACKETTYPE;
using streamer::PLUGIN_OK;
using streamer::PLUGIN_UNAVAILABLE;
using streamer::SamplePacket;
using test::Frame;
using test::Frames;
using test::Media;
using test::readStage;
using test::returnsWithin;

constexpr unsigned kPictureBytes = 160 * 120 * 2;  // packed YUV 4:2:2

// A packet that counts its deletions, so a test can tell that every packet
// it made was released exactly once (a second release would be a use after
// free, which AddressSanitizer reports).
class CountedPacket : public SamplePacket {
 public:
  CountedPacket(PACKETTYPE type, std::vector<uint8_t> bytes, uint64_t time, uint64_t duration, bool key,
                std::atomic<int>* deleted)
      : type_(type), bytes_(std::move(bytes)), time_(time), duration_(duration), key_(key), deleted_(deleted) {}
  ~CountedPacket() override { deleted_->fetch_add(1); }
  void release() override {
    if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
  }
  void addRef() override { references_.fetch_add(1); }
  uint64_t getTime() override { return time_; }
  void setTime(const uint64_t& time) override { time_ = time; }
  uint64_t getDuration() override { return duration_; }
  void setDuration(const uint64_t& duration) override { duration_ = duration; }
  PACKETTYPE getType() override { return type_; }
  uint8_t* getData() override { return bytes_.empty() ? nullptr : bytes_.data(); }
  unsigned getSize() override { return static_cast<unsigned>(bytes_.size()); }
  bool isKeyFrame() override { return key_; }

 private:
  PACKETTYPE type_;
  std::vector<uint8_t> bytes_;
  uint64_t time_, duration_;
  bool key_;
  std::atomic<int> references_{1};
  std::atomic<int>* deleted_;
};

// Makes counted packets and tells how many are gone.
class PacketFactory {
 public:
  SamplePacket* make(PACKETTYPE type, std::vector<uint8_t> bytes = {}, uint64_t time = 0, uint64_t duration = 0,
                     bool key = false) {
    ++made_;
    return new CountedPacket(type, std::move(bytes), time, duration, key, &deleted_);
  }
  int made() const { return made_; }
  int deleted() const { return deleted_.load(); }

 private:
  std::atomic<int> made_{0};
  std::atomic<int> deleted_{0};
};

// A compressed packet as an input plug-in delivers it with decoding skipped.
struct Compressed {
  PACKETTYPE type;
  std::vector<uint8_t> bytes;
  uint64_t time;
  uint64_t duration;
  bool key;
};

// A file read with both kinds passed through, what the same file gives when
// decoded, and the input description an engine would hand the stage (the
// codecs as the reading core describes them).
struct Source {
  std::vector<Compressed> packets;
  Frames decoded;
  host::TranscoderInput input;
};

const Source& source(Media media) {
  static std::map<Media, std::unique_ptr<Source>> cache;
  std::unique_ptr<Source>& entry = cache[media];
  if (entry) return *entry;
  entry = std::make_unique<Source>();
  const test::MediaRecipe& recipe = test::mediaRecipe(media);
  const std::string path = test::mediaPath(media);
  FFMpegDecoderCore passing;
  passing.skipAudioDecoding();
  passing.skipVideoDecoding();
  EXPECT_EQ(passing.init(path, recipe.extension), 0) << path;
  host::StreamDescription stored;
  passing.getInputStreamDescription(&stored);
  host::copyAudio(*stored.getAudio(), entry->input.stream().audio());
  host::copyVideo(*stored.getVideo(), entry->input.stream().video());
  for (;;) {
    Compressed packet{};
    uint8_t* data = nullptr;
    unsigned size = 0;
    void* context = nullptr;
    if (!passing.decodeFromMedium(packet.type, data, size, packet.time, packet.duration, context, packet.key)) break;
    packet.bytes.assign(data, data + size);
    delete[] data;
    entry->packets.push_back(std::move(packet));
  }
  FFMpegDecoderCore decoding;
  EXPECT_EQ(decoding.init(path, recipe.extension), 0) << path;
  entry->decoded = test::readCore(decoding);
  return *entry;
}

// Decoded video at the input's size in packed YUV 4:2:2, decoded audio.
host::Requested rawRequest() {
  host::Requested requested;
  requested.target().video().setCodec("raw");
  requested.target().video().setPixelFormat(5);
  requested.target().audio().setCodec("raw");
  return requested;
}

// Writes |packets| then a PACKET_END packet from a thread of its own and
// reads until the end.
Frames run(FFMpegDecoder& stage, PacketFactory& factory, const std::vector<Compressed>& packets) {
  std::thread writer([&] {
    for (const Compressed& packet : packets)
      stage.write(factory.make(packet.type, packet.bytes, packet.time, packet.duration, packet.key));
    stage.write(factory.make(PACKET_END));
  });
  Frames frames = readStage(stage);
  writer.join();
  return frames;
}

// The first packet of a kind in |from| (the codec header for video).
const Compressed& firstOf(const Source& from, PACKETTYPE type) {
  for (const Compressed& packet : from.packets)
    if (packet.type == type) return packet;
  throw std::logic_error("no packet of that type");
}

uint64_t totalBytes(const std::vector<Frame>& frames) {
  uint64_t bytes = 0;
  for (const Frame& frame : frames) bytes += frame.size;
  return bytes;
}

// Writes the packets of the kinds asked for into a stage described with
// those kinds only and compares what comes out with the core's decoding of
// the file.
void decodesLikeTheFile(Media media, bool video, bool audio) {
  const Source& from = source(media);
  ASSERT_FALSE(from.packets.empty());
  ASSERT_EQ(from.packets.front().type, PACKET_VIDEO);  // the codec header
  ASSERT_EQ(from.packets.front().time, kNoTime);
  host::TranscoderInput input;
  if (video) host::copyVideo(*from.input.getVideo(), input.stream().video());
  if (audio) host::copyAudio(*from.input.getAudio(), input.stream().audio());
  std::vector<Compressed> packets;
  for (const Compressed& packet : from.packets)
    if ((packet.type == PACKET_VIDEO && video) || (packet.type == PACKET_AUDIO && audio)) packets.push_back(packet);

  PacketFactory factory;
  Frames frames;
  host::StreamDescription output;
  {
    FFMpegDecoder stage;
    host::Requested requested = rawRequest();
    ASSERT_EQ(stage.init(nullptr, &input, &requested, nullptr), PLUGIN_OK);
    stage.getOutputStreamDescription(&output);
    ASSERT_TRUE(stage.start());
    frames = run(stage, factory, packets);
  }
  EXPECT_EQ(factory.deleted(), factory.made());
  EXPECT_EQ(frames.ends, 1);

  EXPECT_EQ(output.hasVideo(), video);
  EXPECT_EQ(output.hasAudio(), audio);
  if (video) {
    EXPECT_STREQ(output.video().getCodec(), "raw");
    EXPECT_EQ(output.video().getWidth(), 160);
    EXPECT_EQ(output.video().getHeight(), 120);
    EXPECT_EQ(output.video().getPixelFormat(), 5);
    // Every packet but the codec header gives one picture: slice threads
    // only, so nothing stays inside the decoder.
    EXPECT_EQ(frames.video.size(), from.decoded.video.size());
    for (size_t i = 0; i < frames.video.size(); ++i) {
      ASSERT_EQ(frames.video[i].size, kPictureBytes) << "picture " << i;
      ASSERT_EQ(frames.video[i].time, i * 40000) << "picture " << i;  // counted at 25 fps
      ASSERT_EQ(frames.video[i].duration, 40000u) << "picture " << i;
    }
  }
  if (audio) {
    EXPECT_STREQ(output.audio().getCodec(), "raw");
    EXPECT_EQ(output.audio().getBitsPerSample(), 32);  // AAC decodes to float, delivered as 32-bit integers
    EXPECT_EQ(output.audio().getChannels(), 2);
    EXPECT_EQ(output.audio().getSampleRate(), 44100);
    // With video the first picture comes out ahead of any audio here, so
    // every decoded audio block follows it.
    EXPECT_EQ(frames.audio.size(), from.decoded.audio.size());
    // At most one AAC frame (1024 samples x 2 channels x 4 bytes) apart:
    // packets carry no encoder-delay note, so the priming samples of the
    // first frame may come out.
    EXPECT_NEAR(static_cast<double>(totalBytes(frames.audio)), static_cast<double>(totalBytes(from.decoded.audio)),
                8192.0);
  }
}

TEST(DecoderStageTest, DecodesTheSameFramesAsTheCoreOnTheFile) {
  {
    SCOPED_TRACE("MPEG-TS, H.264 and AAC");
    decodesLikeTheFile(Media::kMpegTsH264Aac, true, true);
  }
  {
    SCOPED_TRACE("MP4, AAC");
    decodesLikeTheFile(Media::kMp4H264Aac, false, true);
  }
}

// MP4 keeps H.264 as length-prefixed units behind an avcC codec header,
// which arrives as the first video packet, without a time.
TEST(DecoderStageTest, Mp4H264PacketsDecodeToTheFilesPictures) { decodesLikeTheFile(Media::kMp4H264Aac, true, false); }

// With B-frames the decoder holds reordered pictures back; the end marker
// lets them out before it is delivered itself.
TEST(DecoderStageTest, ReorderedPicturesComeOutBeforeTheEnd) {
  decodesLikeTheFile(Media::kMp4H264BFrames, true, false);
}

TEST(DecoderStageTest, AudioAheadOfTheFirstPictureIsDroppedWhenTheOutputHasVideo) {
  const Source& from = source(Media::kMpegTsH264Aac);
  // Five audio packets moved in front of the codec header.
  constexpr int kEarly = 5;
  std::vector<Compressed> early, rest;
  for (const Compressed& packet : from.packets) {
    if (packet.type == PACKET_AUDIO && static_cast<int>(early.size()) < kEarly) {
      early.push_back(packet);
    } else {
      rest.push_back(packet);
    }
  }
  std::vector<Compressed> reordered = early;
  reordered.insert(reordered.end(), rest.begin(), rest.end());

  struct Case {
    const char* name;
    bool describe;  // the output description (with video) is handed out
    size_t audioDropped;
    PACKETTYPE first;
  } cases[] = {
      {"output described with video", true, kEarly, PACKET_VIDEO},
      {"output never described", false, 0, PACKET_AUDIO},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PacketFactory factory;
    FFMpegDecoder stage;
    host::Requested requested = rawRequest();
    ASSERT_EQ(stage.init(nullptr, &from.input, &requested, nullptr), PLUGIN_OK);
    if (c.describe) {
      host::StreamDescription output;
      stage.getOutputStreamDescription(&output);
      ASSERT_TRUE(output.hasVideo());
    }
    stage.start();

    std::thread writer([&] {
      for (const Compressed& packet : reordered)
        stage.write(factory.make(packet.type, packet.bytes, packet.time, packet.duration, packet.key));
      stage.write(factory.make(PACKET_END));
    });
    const std::vector<test::ReadFrame> order = test::readFrames(stage);
    const size_t audio = test::framesOfType(order, PACKET_AUDIO).size();
    writer.join();
    ASSERT_FALSE(order.empty());
    EXPECT_EQ(order.front().type, c.first);
    EXPECT_EQ(audio + c.audioDropped, from.decoded.audio.size());
    stage.stop();
    EXPECT_EQ(factory.deleted(), factory.made());
  }
}

TEST(DecoderStageTest, RawAudioPassesThroughAndIsReleasedOnce) {
  // Raw PCM packets of 1024 stereo 16-bit frames, each with its own fill.
  auto pcm = [](int index) { return std::vector<uint8_t>(4096, static_cast<uint8_t>(index)); };
  constexpr int kPackets = 12;

  struct Case {
    const char* name;
    bool withVideo;      // H.264 video in the input and the output
    int audioFirst;      // raw audio packets written before the first picture
    int audioDelivered;  // of all kPackets
  } cases[] = {
      {"audio only", false, 0, kPackets},
      {"audio ahead of the first picture", true, 4, kPackets - 4},
  };
  const Source& from = source(Media::kMpegTsH264Aac);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PacketFactory factory;
    host::TranscoderInput input;
    input.stream().audio().setCodec("raw");
    input.stream().audio().setChannels(2);
    input.stream().audio().setSampleRate(44100);
    input.stream().audio().setBitsPerSample(16);
    if (c.withVideo) host::copyVideo(*from.input.getVideo(), input.stream().video());
    host::Requested requested = rawRequest();

    FFMpegDecoder stage;
    ASSERT_EQ(stage.init(nullptr, &input, &requested, nullptr), PLUGIN_OK);
    host::StreamDescription output;
    stage.getOutputStreamDescription(&output);
    EXPECT_EQ(output.hasVideo(), c.withVideo);
    stage.start();

    // What was written, in order: the early audio, then (with video) the
    // codec header and two pictures, then the rest of the audio.
    std::vector<const Compressed*> video;
    for (const Compressed& packet : from.packets)
      if (packet.type == PACKET_VIDEO && video.size() < 3) video.push_back(&packet);
    std::thread writer([&] {
      auto writeAudio = [&](int index) {
        stage.write(factory.make(PACKET_AUDIO, pcm(index), static_cast<uint64_t>(index) * 23220, 23220, true));
      };
      int index = 0;
      for (; index < c.audioFirst; ++index) writeAudio(index);
      if (c.withVideo) {
        for (const Compressed* picture : video)
          stage.write(factory.make(picture->type, picture->bytes, picture->time, picture->duration, picture->key));
      }
      for (; index < kPackets; ++index) writeAudio(index);
      stage.write(factory.make(PACKET_END));
    });

    int delivered = 0;
    int pictures = 0;
    for (;;) {
      PACKETTYPE type;
      uint8_t* data = nullptr;
      unsigned size = 0;
      uint64_t time = 0, duration = 0;
      void* context = nullptr;
      bool key = false;
      ASSERT_TRUE(stage.readFrame(type, data, size, time, duration, context, key));
      if (type == PACKET_END) {
        stage.freeFrame(data, context);
        break;
      }
      if (type == PACKET_VIDEO) {
        ++pictures;
        EXPECT_EQ(context, nullptr);
      } else {
        // The packet itself is the frame: its bytes, times and flag.
        ASSERT_NE(context, nullptr);
        auto* packet = static_cast<SamplePacket*>(context);
        EXPECT_EQ(data, packet->getData());
        EXPECT_EQ(size, 4096u);
        const int index = c.audioDelivered == kPackets ? delivered : delivered + c.audioFirst;
        EXPECT_EQ(data[0], static_cast<uint8_t>(index));
        EXPECT_EQ(time, static_cast<uint64_t>(index) * 23220);
        EXPECT_EQ(duration, 23220u);
        EXPECT_TRUE(key);
        ++delivered;
      }
      stage.freeFrame(data, context);
    }
    writer.join();
    EXPECT_EQ(delivered, c.audioDelivered);
    EXPECT_EQ(pictures, c.withVideo ? 2 : 0);
    // Delivered ones released by freeFrame, dropped ones by the stage: each
    // exactly once, and none kept.
    EXPECT_EQ(factory.deleted(), factory.made());
  }
}

TEST(DecoderStageTest, NoPacketIsLeakedOnAnyPath) {
  const Source& from = source(Media::kMpegTsH264Aac);
  const host::Requested requested = rawRequest();
  PacketFactory factory;
  {
    // Deleted with packets still queued.
    FFMpegDecoder stage;
    ASSERT_EQ(stage.init(nullptr, &from.input, &requested, nullptr), PLUGIN_OK);
    for (int i = 0; i < 4; ++i) stage.write(factory.make(PACKET_AUDIO, firstOf(from, PACKET_AUDIO).bytes));
  }
  EXPECT_EQ(factory.deleted(), factory.made());
  {
    // Written after stop: dropped at once.
    FFMpegDecoder stage;
    ASSERT_EQ(stage.init(nullptr, &from.input, &requested, nullptr), PLUGIN_OK);
    stage.stop();
    for (int i = 0; i < 8; ++i) stage.write(factory.make(PACKET_VIDEO, from.packets[0].bytes));
    EXPECT_EQ(factory.deleted(), factory.made());
  }
  {
    // A packet of a kind the stage does not decode, then one after a
    // packet that gave nothing (the codec header).
    FFMpegDecoder stage;
    ASSERT_EQ(stage.init(nullptr, &from.input, &requested, nullptr), PLUGIN_OK);
    stage.start();
    stage.write(factory.make(PACKET_MUXED, {1, 2, 3}));
    stage.write(factory.make(PACKET_VIDEO, from.packets[0].bytes, kNoTime, 0, true));
    stage.write(factory.make(PACKET_MUXED, {4, 5, 6}));
    stage.write(factory.make(PACKET_END));
    Frames frames = readStage(stage, 1);
    EXPECT_TRUE(frames.audio.empty() && frames.video.empty() && frames.ends == 0);  // the first: false
    frames = readStage(stage, 1);
    EXPECT_EQ(frames.ends, 1);  // the header and the second foreign packet are skipped
  }
  EXPECT_EQ(factory.deleted(), factory.made());
  {
    // A stage whose core cannot be opened keeps nothing either.
    host::TranscoderInput input;
    input.stream().audio().setCodec("no-such-codec");
    input.stream().audio().setChannels(2);
    input.stream().audio().setSampleRate(44100);
    FFMpegDecoder stage;
    EXPECT_EQ(stage.init(nullptr, &input, &requested, nullptr), PLUGIN_UNAVAILABLE);
    stage.write(factory.make(PACKET_AUDIO, {1, 2, 3, 4}));
    const Frames frames = readStage(stage, 1);
    EXPECT_TRUE(frames.audio.empty() && frames.ends == 0);
  }
  EXPECT_EQ(factory.deleted(), factory.made());
}

TEST(DecoderStageTest, ReadFrameNeverWaitsForever) {
  const Source& from = source(Media::kMpegTsH264Aac);
  const host::Requested requested = rawRequest();
  PACKETTYPE type = PACKET_AUDIO;
  uint8_t* data = nullptr;
  unsigned size = 0;
  uint64_t time = 0, duration = 0;
  void* context = nullptr;
  bool key = false;

  struct Case {
    const char* name;
    bool init;
    // Written before the reader starts; the reader then waits for more.
    std::vector<PACKETTYPE> written;
    bool stopWhileWaiting;
  } cases[] = {
      {"before init", false, {}, false},
      {"waiting for the first packet", true, {}, true},
      {"waiting after a packet that gave nothing", true, {PACKET_VIDEO}, true},
      {"waiting after dropped audio", true, {PACKET_AUDIO, PACKET_AUDIO}, true},
      {"after stop", true, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PacketFactory factory;
    FFMpegDecoder stage;
    if (c.init) {
      ASSERT_EQ(stage.init(nullptr, &from.input, &requested, nullptr), PLUGIN_OK);
      host::StreamDescription output;
      stage.getOutputStreamDescription(&output);  // has video: audio waits for a picture
      stage.start();
      if (!c.stopWhileWaiting) stage.stop();
    }
    for (PACKETTYPE kind : c.written) {
      const Compressed& sample = firstOf(from, kind);
      stage.write(factory.make(kind, sample.bytes, sample.time, sample.duration, sample.key));
    }
    bool result = true;
    std::atomic<bool> reading{false};
    std::thread controller;
    if (c.stopWhileWaiting) {
      controller = std::thread([&] {
        test::waitFor([&] { return reading.load(); }, 2s);
        std::this_thread::sleep_for(100ms);  // let the reader reach its wait
        const auto before = std::chrono::steady_clock::now();
        stage.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
      });
    }
    const bool returned = returnsWithin(
        5s,
        [&] {
          reading = true;
          result = stage.readFrame(type, data, size, time, duration, context, key);
          if (result) stage.freeFrame(data, context);
        },
        [&] {
          // A reader that kept the lock while waiting would block stop():
          // give it a packet first so the test fails instead of hanging.
          stage.write(factory.make(PACKET_END));
          stage.stop();
        });
    if (controller.joinable()) controller.join();
    EXPECT_TRUE(returned);
    EXPECT_TRUE(!result || type == PACKET_END);
    // Any later call is false at once.
    EXPECT_FALSE(stage.readFrame(type, data, size, time, duration, context, key));
  }
}

// Writer, reader and controller on three threads; the controller stops the
// stage at a different moment each round. Nothing may hang or leak, and the
// frames before the stop are the stream's first ones in order.
TEST(DecoderStageTest, WriterReaderAndControllerOnThreeThreads) {
  const Source& from = source(Media::kMpegTsH264Aac);
  const host::Requested requested = rawRequest();
  for (int stopAfter : {0, 1, 7, 30, 1000}) {
    SCOPED_TRACE(stopAfter);
    PacketFactory factory;
    std::vector<Frame> video;
    {
      FFMpegDecoder stage;
      ASSERT_EQ(stage.init(nullptr, &from.input, &requested, nullptr), PLUGIN_OK);
      std::atomic<int> delivered{0};
      std::atomic<bool> described{false};
      std::atomic<bool> finished{false};

      std::thread controller([&] {
        host::StreamDescription output;
        stage.getOutputStreamDescription(&output);
        stage.start();
        described = true;
        test::waitFor([&] { return delivered.load() >= stopAfter || finished.load(); }, 5s);
        stage.stop();
        stage.close();
      });
      std::thread writer([&] {
        test::waitFor([&] { return described.load(); }, 5s);
        for (const Compressed& packet : from.packets)
          stage.write(factory.make(packet.type, packet.bytes, packet.time, packet.duration, packet.key));
        stage.write(factory.make(PACKET_END));
      });
      test::waitFor([&] { return described.load(); }, 5s);
      for (;;) {
        Frame frame;
        uint8_t* data = nullptr;
        void* context = nullptr;
        if (!stage.readFrame(frame.type, data, frame.size, frame.time, frame.duration, context, frame.key)) break;
        stage.freeFrame(data, context);
        if (frame.type == PACKET_END) break;
        if (frame.type == PACKET_VIDEO) video.push_back(frame);
        ++delivered;
      }
      finished = true;
      writer.join();
      controller.join();
    }  // packets still queued at the stop are released with the stage
    for (size_t i = 0; i < video.size(); ++i) ASSERT_EQ(video[i].time, i * 40000) << "picture " << i;
    EXPECT_EQ(factory.deleted(), factory.made());
  }
}

}  // namespace
}  // namespace zan
