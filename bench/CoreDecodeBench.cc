// Decoding throughput of FFMpegDecoderCore beside FFmpeg's own libraries
// doing the same work in a plain loop, on a 720p H.264 + AAC clip made by
// ffmpeg at bench time (or a file given with --media).
//
// The same work on both sides: demux every packet, decode all video and
// audio, convert every picture to packed YUYV 4:2:2 with bicubic scaling
// at the same size, and every audio frame to interleaved PCM of the width
// the core delivers (signed 32-bit for AAC). The libav* loop converts into
// buffers it reuses; the core hands out a new array per frame, as it does
// for the engine. FFmpeg runs twice: with the codec's default thread
// setting (one thread) and with thread_count 0 (as many as the machine
// has).
//
// Every measurement runs in a process of its own (this program re-executed
// with --child), so peak RSS is that of one decode alone; it is read from
// wait4()'s ru_maxrss. The three take turns, --runs times (default 3), and
// the fastest run of each counts.
//
//   core_decode_bench [--media PATH] [--runs N]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include "core/FFMpegDecoderCore.h"
#include "ffmpeg/FFmpegPtr.h"
#include "tests/common/TestMedia.h"

namespace {

struct Counts {
  long video = 0;
  long audio = 0;
  double seconds = 0.0;
};

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string extensionOf(const std::string& path) {
  const std::size_t dot = path.rfind('.');
  return dot == std::string::npos ? std::string() : path.substr(dot + 1);
}

bool runCore(const std::string& path, Counts& counts) {
  const auto start = std::chrono::steady_clock::now();
  zan::FFMpegDecoderCore core;
  if (core.init(path, extensionOf(path)) != 0) return false;
  for (;;) {
    zan::streamer::PACKETTYPE type = zan::streamer::PACKET_END;
    uint8_t* data = nullptr;
    unsigned size = 0;
    uint64_t time = 0, duration = 0;
    void* context = nullptr;
    bool key = false;
    if (!core.decodeFromMedium(type, data, size, time, duration, context, key)) break;
    if (type == zan::streamer::PACKET_VIDEO) ++counts.video;
    if (type == zan::streamer::PACKET_AUDIO) ++counts.audio;
    delete[] data;
  }
  core.close();
  counts.seconds = secondsSince(start);
  return true;
}

// The PCM format the core delivers for a decoder's sample format:
// unsigned 8-bit and signed 16-bit stay, everything else is signed 32-bit.
AVSampleFormat deliveredFormat(AVSampleFormat decoded) {
  switch (decoded) {
    case AV_SAMPLE_FMT_U8: return AV_SAMPLE_FMT_U8;
    case AV_SAMPLE_FMT_S16: return AV_SAMPLE_FMT_S16;
    default: return AV_SAMPLE_FMT_S32;
  }
}

// threads < 0: leave the codec's default; otherwise set thread_count.
bool runLibav(const std::string& path, int threads, Counts& counts) {
  const auto start = std::chrono::steady_clock::now();
  AVFormatContext* opened = nullptr;
  if (avformat_open_input(&opened, path.c_str(), nullptr, nullptr) < 0) return false;
  zan::ff::InputFormatPtr input(opened);
  if (avformat_find_stream_info(input.get(), nullptr) < 0) return false;
  const int videoIndex = av_find_best_stream(input.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const int audioIndex = av_find_best_stream(input.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);

  auto openDecoder = [&](int index) -> zan::ff::CodecContextPtr {
    if (index < 0) return nullptr;
    const AVCodecParameters* parameters = input->streams[index]->codecpar;
    const AVCodec* codec = avcodec_find_decoder(parameters->codec_id);
    zan::ff::CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context || avcodec_parameters_to_context(context.get(), parameters) < 0) return nullptr;
    if (threads >= 0) context->thread_count = threads;
    if (avcodec_open2(context.get(), codec, nullptr) < 0) return nullptr;
    return context;
  };
  zan::ff::CodecContextPtr video = openDecoder(videoIndex);
  zan::ff::CodecContextPtr audio = openDecoder(audioIndex);
  if (!video || !audio) return false;

  zan::ff::SwsPtr scaler;
  std::vector<uint8_t> picture(static_cast<std::size_t>(video->width) * video->height * 2);
  zan::ff::SwrPtr resampler;
  std::vector<uint8_t> pcm;
  zan::ff::FramePtr frame = zan::ff::makeFrame();
  zan::ff::PacketPtr packet = zan::ff::makePacket();

  auto drain = [&](AVCodecContext* context) -> bool {
    while (avcodec_receive_frame(context, frame.get()) >= 0) {
      if (context == video.get()) {
        // Built on the first picture, from the decoded geometry.
        if (!scaler)
          scaler.reset(sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                                      video->width, video->height, AV_PIX_FMT_YUYV422, SWS_BICUBIC, nullptr,
                                      nullptr, nullptr));
        if (!scaler) return false;
        uint8_t* planes[4] = {picture.data(), nullptr, nullptr, nullptr};
        int strides[4] = {video->width * 2, 0, 0, 0};
        sws_scale(scaler.get(), frame->data, frame->linesize, 0, frame->height, planes, strides);
        ++counts.video;
      } else {
        const AVSampleFormat target = deliveredFormat(static_cast<AVSampleFormat>(frame->format));
        if (!resampler) {
          SwrContext* created = nullptr;
          if (swr_alloc_set_opts2(&created, &frame->ch_layout, target, frame->sample_rate, &frame->ch_layout,
                                  static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0,
                                  nullptr) < 0)
            return false;
          resampler.reset(created);
          if (swr_init(resampler.get()) < 0) return false;
        }
        pcm.resize(static_cast<std::size_t>(frame->nb_samples) * frame->ch_layout.nb_channels *
                   av_get_bytes_per_sample(target));
        uint8_t* out[1] = {pcm.data()};
        swr_convert(resampler.get(), out, frame->nb_samples, const_cast<const uint8_t**>(frame->extended_data),
                    frame->nb_samples);
        ++counts.audio;
      }
      av_frame_unref(frame.get());
    }
    return true;
  };

  while (av_read_frame(input.get(), packet.get()) >= 0) {
    AVCodecContext* context = packet->stream_index == videoIndex   ? video.get()
                              : packet->stream_index == audioIndex ? audio.get()
                                                                   : nullptr;
    if (context && avcodec_send_packet(context, packet.get()) >= 0 && !drain(context)) return false;
    av_packet_unref(packet.get());
  }
  for (AVCodecContext* context : {video.get(), audio.get()}) {
    avcodec_send_packet(context, nullptr);
    if (!drain(context)) return false;
  }
  counts.seconds = secondsSince(start);
  return true;
}

struct Measurement {
  Counts best;
  long peakRssKiB = 0;
  bool ok = false;
};

// Runs this program once as "--child MODE PATH", reads its counts and keeps
// them in |result| when they are the fastest so far.
bool measureOnce(const char* self, const char* mode, const std::string& path, Measurement& result) {
  {
    int fds[2];
    if (pipe(fds) != 0) return false;
    const pid_t child = fork();
    if (child == 0) {
      dup2(fds[1], 1);
      close(fds[0]);
      close(fds[1]);
      execl(self, self, "--child", mode, path.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    std::string out;
    char buffer[256];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    struct rusage usage = {};
    wait4(child, &status, 0, &usage);
    Counts counts;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        std::sscanf(out.c_str(), "%ld %ld %lf", &counts.video, &counts.audio, &counts.seconds) != 3) {
      std::fprintf(stderr, "%s run failed (status %d)\n", mode, status);
      return false;
    }
    if (!result.ok || counts.seconds < result.best.seconds) result.best = counts;
    result.peakRssKiB = std::max(result.peakRssKiB, static_cast<long>(usage.ru_maxrss));
    result.ok = true;
  }
  return true;
}

int child(const std::string& mode, const std::string& path) {
  Counts counts;
  bool ok = false;
  if (mode == "core") ok = runCore(path, counts);
  else if (mode == "libav-default") ok = runLibav(path, -1, counts);
  else if (mode == "libav-auto") ok = runLibav(path, 0, counts);
  if (!ok) return 1;
  std::printf("%ld %ld %.6f\n", counts.video, counts.audio, counts.seconds);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--child") == 0) return child(argv[2], argv[3]);

  std::string path;
  int runs = 3;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--media") == 0 && i + 1 < argc) path = argv[++i];
    else if (std::strcmp(argv[i], "--runs") == 0 && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
    else {
      std::fprintf(stderr, "usage: %s [--media PATH] [--runs N]\n", argv[0]);
      return 2;
    }
  }
  if (path.empty()) {
    std::fprintf(stderr, "the 720p clip (made by ffmpeg on first use, then reused)...\n");
    path = zan::test::mediaPath(zan::test::Media::kBenchmark720p);
  }

  struct Row {
    const char* mode;
    const char* label;
    Measurement measurement;
  } rows[] = {
      {"core", "FFMpegDecoderCore::decodeFromMedium", {}},
      {"libav-default", "libav* loop, default threads (1)", {}},
      {"libav-auto", "libav* loop, thread_count 0 (auto)", {}},
  };
  // The modes take turns, so that a change in the machine's load during
  // the bench falls on all of them alike.
  for (int run = 0; run < runs; ++run)
    for (Row& row : rows)
      if (!measureOnce("/proc/self/exe", row.mode, path, row.measurement)) return 1;

  std::printf("media: %s\n", path.c_str());
  std::printf("best of %d runs, each in its own process; peak RSS = ru_maxrss of that process\n\n", runs);
  std::printf("%-38s %7s %7s %9s %10s %13s\n", "", "video", "audio", "seconds", "video fps", "peak RSS MiB");
  for (const Row& row : rows) {
    const Counts& c = row.measurement.best;
    std::printf("%-38s %7ld %7ld %9.3f %10.1f %13.1f\n", row.label, c.video, c.audio, c.seconds,
                c.seconds > 0 ? static_cast<double>(c.video) / c.seconds : 0.0,
                static_cast<double>(row.measurement.peakRssKiB) / 1024.0);
  }
  const Counts& core = rows[0].measurement.best;
  std::printf("\nratio core time / libav time: %.2f (default threads), %.2f (thread_count 0)\n",
              core.seconds / rows[1].measurement.best.seconds, core.seconds / rows[2].measurement.best.seconds);
  if (core.video != rows[1].measurement.best.video)
    std::printf("note: the core delivered %ld pictures, libav* decoded %ld\n", core.video,
                rows[1].measurement.best.video);
  return 0;
}
