// The decoder stage ("FFMpegDecoder") driven as the engine drives it: a
// writer thread writes packets, a reader thread pulls frames, a controller
// describes and stops. The packets are a file's, read with decoding skipped.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <thread>

#include "host/records/Records.h"
#include "tests/common/Harness.h"
#include "tests/common/TestMedia.h"
#include "tests/common/TestSupport.h"
#include "transcoders/FFMpegDecoder.h"

namespace zan::test {
namespace {

using namespace std::chrono_literals;
using streamer::PACKET_AUDIO;
using streamer::PACKET_END;
using streamer::PACKET_MUXED;
using streamer::PACKET_VIDEO;
using streamer::PLUGIN_OK;

// A file read with both kinds passed through, what the core decodes from
// the same file, and the input description an engine hands the stage.
struct Source {
  Frames packets;
  Frames decoded;
  host::TranscoderInput input;
};

const Source& source(Media media) {
  static std::map<Media, std::unique_ptr<Source>> cache;
  std::unique_ptr<Source>& entry = cache[media];
  if (entry) return *entry;
  entry = std::make_unique<Source>();
  const std::string path = mediaPath(media);
  FFMpegDecoderCore passing;
  passing.skipAudioDecoding();
  passing.skipVideoDecoding();
  EXPECT_EQ(passing.init(path, mediaRecipe(media).extension), 0) << path;
  host::StreamDescription stored;
  passing.getInputStreamDescription(&stored);
  host::copyAudio(*stored.getAudio(), entry->input.stream().audio());
  host::copyVideo(*stored.getVideo(), entry->input.stream().video());
  entry->packets = readFrames(passing, kNoLimit, true);
  FFMpegDecoderCore decoding;
  EXPECT_EQ(decoding.init(path, mediaRecipe(media).extension), 0) << path;
  entry->decoded = readFrames(decoding);
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

// Opens |stage| for decoded output, describing |output| first when given
// (as the engine does), and starts it.
::testing::AssertionResult begin(FFMpegDecoder& stage, const host::TranscoderInput& input,
                                 host::StreamDescription* output = nullptr) {
  const host::Requested requested = rawRequest();
  if (stage.init(nullptr, &input, &requested, nullptr) != PLUGIN_OK) return ::testing::AssertionFailure() << "init";
  if (output) stage.getOutputStreamDescription(output);
  return stage.start() ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "start";
}

streamer::SamplePacket* copyOf(PacketLedger& ledger, const Frame& packet) {
  return ledger.make(packet.type, packet.bytes, packet.time, packet.duration, packet.key);
}

// Writes |packets| then a PACKET_END from a thread of its own and reads
// until the end.
Frames run(FFMpegDecoder& stage, PacketLedger& ledger, const std::vector<Frame>& packets) {
  return pump(
      stage,
      [&] {
        for (const Frame& packet : packets) stage.write(copyOf(ledger, packet));
        stage.write(ledger.make(PACKET_END));
      },
      [&] { stage.stop(); });
}

// The packets of the kinds asked for, into a stage described with those
// kinds only, give the frames the core decodes from the file (the end
// marker lets out what a decoder holds back).
TEST(DecoderStageTest, DecodesTheSameFramesAsTheCoreOnTheFile) {
  struct Case {
    Media media;
    bool video, audio;
  } cases[] = {
      {Media::kMpegTsH264Aac, true, true},  // Annex B H.264 and ADTS AAC
      {Media::kMp4H264Aac, false, true},    // raw AAC with its configuration
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(mediaRecipe(c.media).name + (c.video ? " video" : "") + (c.audio ? " audio" : ""));
    const Source& from = source(c.media);
    host::TranscoderInput input;
    if (c.video) host::copyVideo(*from.input.getVideo(), input.stream().video());
    if (c.audio) host::copyAudio(*from.input.getAudio(), input.stream().audio());
    std::vector<Frame> packets;
    for (const Frame& packet : from.packets.all)
      if ((packet.type == PACKET_VIDEO && c.video) || (packet.type == PACKET_AUDIO && c.audio)) packets.push_back(packet);

    PacketLedger ledger;
    Frames frames;
    host::StreamDescription output;
    {
      FFMpegDecoder stage;
      ASSERT_TRUE(begin(stage, input, &output));
      frames = run(stage, ledger, packets);
    }
    EXPECT_EQ(ledger.deleted(), ledger.made());
    EXPECT_EQ(frames.ends, 1);
    EXPECT_EQ(output.hasVideo(), c.video);
    EXPECT_EQ(output.audio().getSampleRate(), 44100);
    ASSERT_EQ(frames.video.size(), c.video ? from.decoded.video.size() : 0u);
    for (size_t i = 0; i < frames.video.size(); ++i)
      ASSERT_EQ(frames.video[i].checksum, from.decoded.video[i].checksum) << "picture " << i;
    // At most one AAC frame (1024 samples x 2 channels x 4 bytes) apart:
    // passed-through packets carry no encoder-delay note and include the
    // priming packet, whose samples the core's own decode leaves out.
    EXPECT_LE(frames.audio.size() - from.decoded.audio.size(), 1u);
    EXPECT_GE(frames.audio.size(), from.decoded.audio.size());
    EXPECT_NEAR(static_cast<double>(byteCount(frames.audio)), static_cast<double>(byteCount(from.decoded.audio)),
                8192.0);
  }
}

// With video in the output, sound ahead of the first picture is dropped;
// without a description handed out, nothing is.
TEST(DecoderStageTest, AudioAheadOfTheFirstPictureIsDroppedWhenTheOutputHasVideo) {
  const Source& from = source(Media::kMpegTsH264Aac);
  constexpr size_t kEarly = 5;
  std::vector<Frame> early, rest;
  for (const Frame& packet : from.packets.all)
    (packet.type == PACKET_AUDIO && early.size() < kEarly ? early : rest).push_back(packet);
  std::vector<Frame> reordered = early;
  reordered.insert(reordered.end(), rest.begin(), rest.end());

  for (bool describe : {true, false}) {
    SCOPED_TRACE(describe ? "output described with video" : "output never described");
    PacketLedger ledger;
    FFMpegDecoder stage;
    host::StreamDescription output;
    ASSERT_TRUE(begin(stage, from.input, describe ? &output : nullptr));
    const Frames frames = run(stage, ledger, reordered);
    ASSERT_FALSE(frames.all.empty());
    EXPECT_EQ(frames.all.front().type, describe ? PACKET_VIDEO : PACKET_AUDIO);
    EXPECT_EQ(frames.audio.size() + (describe ? kEarly : 0), from.decoded.audio.size());
    stage.stop();
    EXPECT_EQ(ledger.deleted(), ledger.made());
  }
}

// A packet of a kind the stage does not decode, then one after a packet
// that gave nothing (the codec header): each is released, none delivered.
TEST(DecoderStageTest, NoPacketIsLeakedOnAnyPath) {
  const Source& from = source(Media::kMpegTsH264Aac);
  PacketLedger ledger;
  {
    FFMpegDecoder stage;
    ASSERT_TRUE(begin(stage, from.input));
    stage.write(ledger.make(PACKET_MUXED, {1, 2, 3}));
    stage.write(copyOf(ledger, from.packets.all.front()));
    stage.write(ledger.make(PACKET_MUXED, {4, 5, 6}));
    stage.write(ledger.make(PACKET_END));
    EXPECT_TRUE(readFrames(stage, 1).all.empty());  // the first: false
    EXPECT_EQ(readFrames(stage, 1).ends, 1);        // the header and the second are skipped
  }
  EXPECT_EQ(ledger.deleted(), ledger.made());
}

// A stage started again after stop has no core left: writes are dropped
// instead of filling a queue nobody empties (the sixth would block the
// writer for good), and reads are false at once.
TEST(DecoderStageTest, StartAfterStopNeitherBlocksNorLeaks) {
  const Source& from = source(Media::kMpegTsH264Aac);
  PacketLedger ledger;
  FFMpegDecoder stage;
  ASSERT_TRUE(begin(stage, from.input));
  std::vector<Frame> firstPackets(from.packets.all.begin(), from.packets.all.begin() + 20);
  EXPECT_FALSE(run(stage, ledger, firstPackets).video.empty());
  stage.stop();
  stage.start();
  EXPECT_TRUE(returnsWithin(
      5s, [&] { for (const Frame& packet : firstPackets) stage.write(copyOf(ledger, packet)); },
      [&] { stage.stop(); }));
  EXPECT_TRUE(readFrames(stage, 1).all.empty());
  EXPECT_EQ(ledger.deleted(), ledger.made());
}

// A reader waiting for a packet is ended by stop().
TEST(DecoderStageTest, AStopEndsAWaitingRead) {
  const Source& from = source(Media::kMpegTsH264Aac);
  struct Case {
    const char* name;
    std::vector<const Frame*> written;  // before the reader starts; it then waits for more
  } cases[] = {
      {"waiting for the first packet", {}},
      {"waiting after a packet that gave nothing", {&from.packets.all.front()}},
      {"waiting after dropped audio", {&from.packets.audio[0], &from.packets.audio[1]}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PacketLedger ledger;
    FFMpegDecoder stage;
    host::StreamDescription output;  // has video: audio waits for a picture
    ASSERT_TRUE(begin(stage, from.input, &output));
    for (const Frame* packet : c.written) stage.write(copyOf(ledger, *packet));
    Frames got;
    // A reader that kept the lock while waiting would block stop(): the
    // unblock's end marker lets the test fail instead of hang.
    std::thread controller([&] {
      std::this_thread::sleep_for(100ms);
      stage.stop();
    });
    EXPECT_TRUE(returnsWithin(
        5s, [&] { got = readFrames(stage, 1); },
        [&] {
          stage.write(ledger.make(PACKET_END));
          stage.stop();
        }));
    controller.join();
    EXPECT_TRUE(got.all.empty());
    const Frames later = readFrames(stage, 1);
    EXPECT_TRUE(later.all.empty() && later.ends == 0);  // later calls: false
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
    PacketLedger ledger;
    std::vector<Frame> video;
    {
      FFMpegDecoder stage;
      ASSERT_EQ(stage.init(nullptr, &from.input, &requested, nullptr), PLUGIN_OK);
      std::atomic<int> delivered{0};
      std::atomic<bool> described{false}, finished{false};
      std::thread controller([&] {
        host::StreamDescription output;
        stage.getOutputStreamDescription(&output);
        stage.start();
        described = true;
        waitFor([&] { return delivered.load() >= stopAfter || finished.load(); }, 5s);
        stage.stop();
        stage.close();
      });
      std::thread writer([&] {
        waitFor([&] { return described.load(); }, 5s);
        for (const Frame& packet : from.packets.all) stage.write(copyOf(ledger, packet));
        stage.write(ledger.make(PACKET_END));
      });
      waitFor([&] { return described.load(); }, 5s);
      for (Frames frames; !(frames = readFrames(stage, 1)).all.empty(); ++delivered)
        if (!frames.video.empty()) video.push_back(frames.video.front());
      finished = true;
      writer.join();
      controller.join();
    }  // packets still queued at the stop are released with the stage
    // Counted out at the frame rate (25 fps).
    for (size_t i = 0; i < video.size(); ++i)
      ASSERT_TRUE(video[i].time == i * 40000 && video[i].duration == 40000) << "picture " << i;
    EXPECT_EQ(ledger.deleted(), ledger.made());
  }
}

}  // namespace
}  // namespace zan::test
