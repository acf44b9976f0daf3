// The "FFMpegAudioResampler" stage as the engine drives it: created by the
// built plug-in's factory, fed by a writer thread and drained by a reader
// thread. Signals are 1 kHz tones, checked against a fitted sinusoid.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/records/Records.h"
#include "plugins/SimpleSamplePacket.h"
#include "tests/common/Harness.h"
#include "tests/common/TestSupport.h"
#include "zan/streamer/PluginInterfaces.h"

namespace zan {
namespace {

using streamer::PACKET_AUDIO;
using streamer::PACKET_END;
using streamer::PACKET_VIDEO;
using streamer::PACKETTYPE;
using streamer::PLUGIN_FAILED;
using streamer::PLUGIN_OK;
using streamer::SamplePacket;
using streamer::TranscoderPluginInterface;
using test::makePacket;

struct PcmFormat {
  int bits;
  int channels;
  int rate;
};

// What readFrame() delivered, copied before freeFrame().
struct Frame {
  PACKETTYPE type;
  std::vector<uint8_t> bytes;
  const uint8_t* data;
  uint64_t time;
  uint64_t duration;
  bool keyFrame;
  void* context;
};

std::vector<uint8_t> littleEndian16(const std::vector<int>& samples) {
  std::vector<uint8_t> bytes;
  for (int s : samples) {
    bytes.push_back(static_cast<uint8_t>(s & 0xFF));
    bytes.push_back(static_cast<uint8_t>((s >> 8) & 0xFF));
  }
  return bytes;
}

std::vector<int16_t> samplesOf(const std::vector<uint8_t>& bytes) {
  std::vector<int16_t> samples(bytes.size() / 2);
  std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
  return samples;
}

class AudioResamplerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    factory_ = test::transcoderFactory(ZAN_PLUGIN_PATH);
    ASSERT_NE(factory_, nullptr);
  }

  // A new stage, initialised for raw audio |in| -> |out| (explicit channel
  // count and rate). The records outlive it: they are members.
  std::unique_ptr<TranscoderPluginInterface> makeStage(PcmFormat in, int outChannels, int outRate) {
    std::unique_ptr<TranscoderPluginInterface> stage(factory_("FFMpegAudioResampler"));
    EXPECT_NE(stage, nullptr);
    if (!stage) return stage;
    input_ = std::make_unique<host::TranscoderInput>();
    requested_ = std::make_unique<host::Requested>();
    host::Audio& audio = input_->stream().audio();
    audio.setCodec("raw");
    audio.setBitsPerSample(in.bits);
    audio.setChannels(in.channels);
    audio.setSampleRate(in.rate);
    input_->output().setFormat("raw");
    input_->output().audio().setCodec("raw");
    requested_->target().setFormat("raw");
    requested_->target().audio().setCodec("raw");
    requested_->target().audio().setChannels(outChannels);
    requested_->target().audio().setSampleRate(outRate);
    EXPECT_EQ(stage->init(&medium_, input_.get(), requested_.get(), &settings_), PLUGIN_OK);
    stage->start();
    return stage;
  }

  // Writes |packets|, calls |beforeEnd| and writes a PACKET_END from one
  // thread while another reads until the PACKET_END comes out; returns
  // everything read.
  std::vector<Frame> run(TranscoderPluginInterface& stage, const std::vector<SamplePacket*>& packets,
                         const std::function<void()>& beforeEnd = {}) {
    std::vector<Frame> frames;
    std::atomic<bool> readerDone{false};
    std::thread reader([&] {
      for (;;) {
        PACKETTYPE type = PACKET_END;
        uint8_t* data = nullptr;
        unsigned size = 0;
        uint64_t time = 0, duration = 0;
        void* context = nullptr;
        bool key = false;
        if (!stage.readFrame(type, data, size, time, duration, context, key)) break;
        frames.push_back({type, std::vector<uint8_t>(data, data + size), data, time, duration, key, context});
        stage.freeFrame(data, context);
        if (type == PACKET_END) break;
      }
      readerDone = true;
    });
    std::thread writer([&] {
      for (SamplePacket* packet : packets) stage.write(packet);
      if (beforeEnd) beforeEnd();
      stage.write(makePacket(PACKET_END, {}));
    });
    writer.join();
    const bool finished = test::waitFor([&] { return readerDone.load(); }, std::chrono::seconds(30));
    if (!finished) stage.stop();  // frees the reader so the test fails instead of hanging
    reader.join();
    EXPECT_TRUE(finished) << "no PACKET_END came out";
    return frames;
  }

  TranscoderPluginFactoryFn factory_ = nullptr;
  host::Settings settings_;
  host::Medium medium_;
  std::unique_ptr<host::TranscoderInput> input_;
  std::unique_ptr<host::Requested> requested_;
};

TEST_F(AudioResamplerTest, PacketsThatNeedNoWorkComeOutThemselves) {
  auto stage = makeStage({16, 2, 44100}, 2, 44100);
  SamplePacket* audio = makePacket(PACKET_AUDIO, littleEndian16({1, -1, 300, -300}), 1000, 2000, true);
  SamplePacket* video = makePacket(PACKET_VIDEO, {1, 2, 3}, 5000, 40000, true);
  audio->addRef();  // kept alive so the pointers stay comparable
  video->addRef();
  const auto frames = run(*stage, {audio, video});
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].context, audio);
  EXPECT_EQ(frames[0].data, audio->getData());
  EXPECT_EQ(frames[0].type, PACKET_AUDIO);
  EXPECT_EQ(frames[0].time, 1000u);
  EXPECT_EQ(frames[0].duration, 2000u);
  EXPECT_TRUE(frames[0].keyFrame);
  EXPECT_EQ(frames[1].context, video);
  EXPECT_EQ(frames[1].type, PACKET_VIDEO);
  EXPECT_EQ(frames[1].bytes, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(frames[2].type, PACKET_END);
  EXPECT_TRUE(frames[2].bytes.empty());
  audio->release();
  video->release();
}

// A packet that cannot be converted is dropped; when the format itself is
// sound, the next packet passes, and the end always does.
TEST_F(AudioResamplerTest, UnconvertiblePacketsAreDropped) {
  struct Case {
    PcmFormat in;
    std::vector<uint8_t> bytes;
    bool laterPacketsPass;
  } cases[] = {
      {{16, 3, 44100}, littleEndian16({1, 2, 3}), false},  // no rule for three channels
      {{16, 0, 44100}, littleEndian16({1, 2}), false},
      {{12, 2, 44100}, {1, 2, 3, 4, 5, 6}, false},
      {{16, 2, 0}, littleEndian16({1, 2}), false},
      {{16, 2, 44100}, {}, true},
      {{16, 2, 44100}, {1, 2, 3, 4, 5, 6}, true},  // not whole sample frames
      {{24, 2, 44100}, {1, 2, 3}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.in.bits) + " bits, " + std::to_string(c.in.channels) + " channels, " +
                 std::to_string(c.bytes.size()) + " bytes");
    auto stage = makeStage(c.in, 2, 44100);
    std::vector<SamplePacket*> packets = {makePacket(PACKET_AUDIO, c.bytes)};
    if (c.bytes.empty()) {
      auto* claiming = new streamer::SimpleSamplePacket();
      claiming->set(PACKET_AUDIO, nullptr, 8, 0, 0, false);  // claims bytes it does not have
      packets.push_back(claiming);
    }
    if (c.laterPacketsPass)
      packets.push_back(makePacket(PACKET_AUDIO, std::vector<uint8_t>(static_cast<size_t>(c.in.bits / 8 * 2 * 4), 0x80), 42));
    const auto frames = run(*stage, packets);
    ASSERT_EQ(frames.size(), c.laterPacketsPass ? 2u : 1u);
    if (c.laterPacketsPass) {
      EXPECT_EQ(frames[0].time, 42u);
    }
    EXPECT_EQ(frames.back().type, PACKET_END);
  }
}

TEST_F(AudioResamplerTest, CallsInTheWrongOrderFailCleanly) {
  {
    std::unique_ptr<TranscoderPluginInterface> stage(factory_("FFMpegAudioResampler"));
    ASSERT_NE(stage, nullptr);
    host::StreamDescription untouched;
    untouched.setFormat("before");
    stage->getOutputStreamDescription(&untouched);
    EXPECT_STREQ(untouched.getFormat(), "before");
    // Not initialised: audio is dropped, the end still passes.
    const auto frames = run(*stage, {makePacket(PACKET_AUDIO, {1, 2, 3, 4})});
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].type, PACKET_END);
    EXPECT_TRUE(stage->close());
  }
  {
    std::unique_ptr<TranscoderPluginInterface> stage(factory_("FFMpegAudioResampler"));
    host::TranscoderInput input;
    host::Requested requested;
    input.stream().audio().setCodec("aac");  // compressed, and not what is asked for
    requested.target().audio().setCodec("mp3");
    EXPECT_EQ(stage->init(&medium_, &input, &requested, &settings_), PLUGIN_FAILED);
    EXPECT_EQ(stage->init(&medium_, nullptr, nullptr, nullptr), PLUGIN_FAILED);
  }
}

TEST_F(AudioResamplerTest, OutputDescriptionCarriesTheTargetFormat) {
  struct Case {
    PcmFormat in;
    int requestedChannels;
    int requestedRate;
    int channels;
    int rate;
  } cases[] = {
      {{8, 6, 48000}, 1, 22050, 1, 22050},
      {{16, 2, 44100}, 2, 44100, 2, 44100},
      // Nothing asked for: the profile's ladder decides (8 kHz mono).
      {{32, 2, 44100}, 0, 0, 1, 8000},
  };
  for (const Case& c : cases) {
    auto stage = makeStage(c.in, c.requestedChannels, c.requestedRate);
    host::StreamDescription out;
    stage->getOutputStreamDescription(&out);
    EXPECT_STREQ(out.getFormat(), "raw");
    EXPECT_STREQ(out.getAudio()->getCodec(), "raw");
    EXPECT_EQ(out.getAudio()->getChannels(), c.channels);
    EXPECT_EQ(out.getAudio()->getSampleRate(), c.rate);
    EXPECT_EQ(out.getAudio()->getBitsPerSample(), 16);
    EXPECT_EQ(out.getAudio()->getFrameSize(), 16u * c.channels);
  }
}

// ---- Rate conversion on tones ------------------------------------------

constexpr double kPi = 3.14159265358979323846;
constexpr double kTone = 1000.0;

// |count| packets of |frames| stereo frames of a 1 kHz tone, amplitude 0.5
// left and 0.25 right (so a channel swap shows), as |bits|-bit samples
// (8-bit unsigned), time-stamped in microseconds from 0.
struct Stamp {
  uint64_t time;
  uint64_t duration;
};

std::vector<SamplePacket*> tonePackets(int rate, int count, int frames, std::vector<Stamp>* stamps, int bits = 16) {
  std::vector<SamplePacket*> packets;
  for (int p = 0; p < count; ++p) {
    std::vector<uint8_t> bytes;
    for (int i = 0; i < frames; ++i) {
      const double phase = 2 * kPi * kTone * (static_cast<double>(p) * frames + i) / rate;
      for (double amplitude : {16384.0, 8192.0}) {
        const int sample = static_cast<int>(std::lround(amplitude * std::sin(phase)));
        if (bits == 8) bytes.push_back(static_cast<uint8_t>((sample >> 8) + 128));
        if (bits == 24) bytes.push_back(0);
        if (bits >= 16) bytes.insert(bytes.end(), {static_cast<uint8_t>(sample & 0xFF), static_cast<uint8_t>((sample >> 8) & 0xFF)});
      }
    }
    const uint64_t time = static_cast<uint64_t>(p) * frames * 1000000 / rate;
    const uint64_t end = static_cast<uint64_t>(p + 1) * frames * 1000000 / rate;
    stamps->push_back({time, end - time});
    packets.push_back(makePacket(PACKET_AUDIO, bytes, time, end - time, false));
  }
  return packets;
}

// Least-squares fit of a kTone sinusoid to |x| over [from, to): amplitude
// and the largest deviation from the fit.
struct ToneFit {
  double amplitude;
  double worstError;
};

ToneFit fitTone(const std::vector<double>& x, int rate, size_t from, size_t to) {
  double ss = 0, sc = 0, cc = 0, xs = 0, xc = 0;
  const double w = 2 * kPi * kTone / rate;
  for (size_t n = from; n < to; ++n) {
    const double s = std::sin(w * n), c = std::cos(w * n);
    ss += s * s;
    sc += s * c;
    cc += c * c;
    xs += x[n] * s;
    xc += x[n] * c;
  }
  const double det = ss * cc - sc * sc;
  const double a = (xs * cc - xc * sc) / det;
  const double b = (xc * ss - xs * sc) / det;
  double worst = 0;
  for (size_t n = from; n < to; ++n) worst = std::max(worst, std::fabs(x[n] - a * std::sin(w * n) - b * std::cos(w * n)));
  return {std::hypot(a, b), worst};
}

size_t risingZeroCrossings(const std::vector<double>& x, size_t from, size_t to) {
  size_t crossings = 0;
  for (size_t n = from + 1; n < to; ++n)
    if (x[n - 1] < 0 && x[n] >= 0) ++crossings;
  return crossings;
}

struct RateCase {
  int inRate;
  int outRate;
  int bits;  // of the input; the output has 16
};

class ToneTest : public AudioResamplerTest, public ::testing::WithParamInterface<RateCase> {};

TEST_P(ToneTest, ToneSurvivesAndPacketsJoinSeamlessly) {
  const RateCase rates = GetParam();
  constexpr int kPackets = 150;
  constexpr int kFrames = 997;  // prime: the joins fall at every phase
  auto stage = makeStage({rates.bits, 2, rates.inRate}, 2, rates.outRate);
  std::vector<Stamp> stamps;
  const auto frames = run(*stage, tonePackets(rates.inRate, kPackets, kFrames, &stamps, rates.bits));

  // One converted packet per written packet, with its time stamps, then the
  // samples the filter held back, then the end.
  ASSERT_EQ(frames.size(), static_cast<size_t>(kPackets) + 2);
  std::vector<double> left, right;
  for (size_t i = 0; i + 1 < frames.size(); ++i) {
    ASSERT_EQ(frames[i].type, PACKET_AUDIO);
    ASSERT_EQ(frames[i].bytes.size() % 4, 0u);
    const auto samples = samplesOf(frames[i].bytes);
    for (size_t n = 0; n + 1 < samples.size(); n += 2) {
      left.push_back(samples[n]);
      right.push_back(samples[n + 1]);
    }
    if (i < static_cast<size_t>(kPackets)) {
      EXPECT_EQ(frames[i].time, stamps[i].time) << i;
      EXPECT_EQ(frames[i].duration, stamps[i].duration) << i;
    }
  }
  EXPECT_EQ(frames.back().type, PACKET_END);

  // Nothing lost or invented at the joins: the output is as long as the
  // input at the new rate.
  const double expected = static_cast<double>(kPackets) * kFrames * rates.outRate / rates.inRate;
  EXPECT_NEAR(static_cast<double>(left.size()), expected, 2.0);

  // The held-back tail ends where the input ended.
  const Frame& tail = frames[frames.size() - 2];
  const uint64_t inputEnd = static_cast<uint64_t>(kPackets) * kFrames * 1000000 / rates.inRate;
  EXPECT_NEAR(static_cast<double>(tail.time + tail.duration), static_cast<double>(inputEnd), 50.0);

  // Still one continuous 1 kHz tone on each channel: one fitted sinusoid
  // explains every sample (a gap or repeat at any join would leave an error
  // of thousands; rounding to 16 bits leaves about 1, to 8 bits a few hundred), and the crossings
  // count 1,000 per second.
  const size_t from = 64, to = left.size() - 64;
  const ToneFit l = fitTone(left, rates.outRate, from, to);
  const ToneFit r = fitTone(right, rates.outRate, from, to);
  EXPECT_NEAR(l.amplitude, 16384, 16384 * 0.02);
  EXPECT_NEAR(r.amplitude, 8192, 8192 * 0.02);
  const double worst = rates.bits == 8 ? 600.0 : 20.0;
  EXPECT_LT(l.worstError, worst);
  EXPECT_LT(r.worstError, worst);
  const double seconds = static_cast<double>(to - from) / rates.outRate;
  EXPECT_NEAR(static_cast<double>(risingZeroCrossings(left, from, to)), seconds * kTone, 2.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, ToneTest,
                         ::testing::Values(RateCase{44100, 22050, 16}, RateCase{48000, 44100, 24}, RateCase{22050, 44100, 8}),
                         [](const ::testing::TestParamInfo<RateCase>& info) {
                           return std::to_string(info.param.bits) + "bits" + std::to_string(info.param.inRate) + "to" +
                                  std::to_string(info.param.outRate);
                         });

TEST_F(AudioResamplerTest, HalfRateMonoHasHalfTheFrames) {
  auto stage = makeStage({16, 2, 44100}, 1, 22050);
  std::vector<Stamp> stamps;
  const auto frames = run(*stage, tonePackets(44100, 20, 1000, &stamps));
  ASSERT_EQ(frames.size(), 22u);
  size_t total = 0;
  for (size_t i = 0; i < 20; ++i) {
    ASSERT_EQ(frames[i].bytes.size() % 2, 0u);
    const size_t produced = frames[i].bytes.size() / 2;  // one 16-bit sample a frame
    // The first packet fills the filter; later ones give exactly half.
    EXPECT_NEAR(static_cast<double>(produced), 500.0, i == 0 ? 20.0 : 1.0) << i;
    total += produced;
  }
  total += frames[20].bytes.size() / 2;
  EXPECT_NEAR(static_cast<double>(total), 10000.0, 2.0);
}

TEST_F(AudioResamplerTest, ResetPositionForgetsSamplesFromBeforeTheJump) {
  auto stage = makeStage({16, 2, 44100}, 2, 22050);
  std::vector<Stamp> stamps;
  std::vector<SamplePacket*> packets = tonePackets(44100, 4, 1000, &stamps);
  const std::vector<uint8_t> silence(4000, 0);

  // The writer repositions between the tone and the silence.
  const auto frames = run(*stage, packets, [&] {
    stage->resetPosition(0);
    stage->write(makePacket(PACKET_AUDIO, silence, 777));
  });
  // Four tone packets, the silence, what the filter held of the silence,
  // the end.
  ASSERT_EQ(frames.size(), 7u);
  EXPECT_EQ(frames[4].time, 777u);
  for (size_t i : {4, 5}) {
    const auto after = samplesOf(frames[i].bytes);
    ASSERT_FALSE(after.empty());
    for (int16_t s : after) ASSERT_EQ(s, 0) << "tone leaked across the reposition";
  }
}

}  // namespace
}  // namespace zan
