#include "host/demo/DemoMedium.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include "ffmpeg/FFmpegPtr.h"

namespace zan::host {

namespace {

std::string describeError(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

// The output context with its file: the file is closed before the context
// is freed, whichever way writing ends.
struct OutputFile {
  ff::FormatPtr format;
  ~OutputFile() {
    if (format && format->pb) avio_closep(&format->pb);
  }
};

struct Track {
  ff::CodecContextPtr codec;
  AVStream* stream = nullptr;
  int64_t next = 0;  // presentation time of the next frame, in the codec's time base
  int64_t end = 0;   // the same time at the end of the clip
  // The length of a packet that comes out without one; without it MP4
  // gives the last picture no time and players drop it.
  int64_t packetDuration = 0;
};

// 75 % colour bars (white, yellow, cyan, green, magenta, red, blue) as
// BT.601 limited-range Y, U, V.
constexpr uint8_t kBars[7][3] = {{180, 128, 128}, {162, 44, 142}, {131, 156, 44}, {112, 72, 58},
                                 {84, 184, 198},  {65, 100, 212}, {35, 212, 114}};

// One picture: the bars over the top three quarters, black below with a
// white box that crosses from left to right over the clip.
void drawPicture(AVFrame* frame, int64_t index, int64_t count) {
  const int width = frame->width, height = frame->height;
  const int barsHeight = height * 3 / 4;
  const int boxWidth = std::max(2, width / 8);
  const int boxLeft = count > 1 ? static_cast<int>(index * (width - boxWidth) / (count - 1)) : 0;
  const auto colour = [&](int x, int y, int component) -> uint8_t {
    if (y < barsHeight) return kBars[x * 7 / width][component];
    const bool inBox = x >= boxLeft && x < boxLeft + boxWidth && y >= barsHeight + (height - barsHeight) / 4 &&
                       y < height - (height - barsHeight) / 4;
    if (component == 0) return inBox ? 235 : 16;
    return 128;
  };
  for (int y = 0; y < height; ++y) {
    uint8_t* row = frame->data[0] + static_cast<ptrdiff_t>(y) * frame->linesize[0];
    for (int x = 0; x < width; ++x) row[x] = colour(x, y, 0);
  }
  for (int plane = 1; plane <= 2; ++plane) {
    for (int y = 0; y < (height + 1) / 2; ++y) {
      uint8_t* row = frame->data[plane] + static_cast<ptrdiff_t>(y) * frame->linesize[plane];
      for (int x = 0; x < (width + 1) / 2; ++x) row[x] = colour(x * 2, y * 2, plane);
    }
  }
}

// Sends |frame| (null to drain) and writes every packet that comes out.
int encodeAndWrite(AVFormatContext* format, Track& track, const AVFrame* frame, AVPacket* packet) {
  int result = avcodec_send_frame(track.codec.get(), frame);
  if (result < 0) return result;
  while ((result = avcodec_receive_packet(track.codec.get(), packet)) >= 0) {
    if (packet->duration == 0) packet->duration = track.packetDuration;
    av_packet_rescale_ts(packet, track.codec->time_base, track.stream->time_base);
    packet->stream_index = track.stream->index;
    result = av_interleaved_write_frame(format, packet);
    if (result < 0) return result;
  }
  return result == AVERROR(EAGAIN) || result == AVERROR_EOF ? 0 : result;
}

// Adds the stream of an opened encoder to the output.
bool addStream(AVFormatContext* format, Track& track, std::string& error) {
  track.stream = avformat_new_stream(format, nullptr);
  if (track.stream == nullptr) {
    error = "cannot add a stream";
    return false;
  }
  track.stream->time_base = track.codec->time_base;
  const int result = avcodec_parameters_from_context(track.stream->codecpar, track.codec.get());
  if (result < 0) error = "cannot describe the stream: " + describeError(result);
  return result >= 0;
}

bool openVideo(AVFormatContext* format, const DemoMediumSpec& spec, Track& track, DemoMediumResult& out) {
  const AVCodec* encoder = avcodec_find_encoder_by_name("libx264");
  if (encoder == nullptr) encoder = avcodec_find_encoder(AV_CODEC_ID_MPEG4);
  if (encoder == nullptr) {
    out.error = "this FFmpeg has neither an H.264 nor an MPEG-4 encoder";
    return false;
  }
  track.codec.reset(avcodec_alloc_context3(encoder));
  if (!track.codec) return out.error = "out of memory", false;
  AVCodecContext* codec = track.codec.get();
  codec->width = spec.width;
  codec->height = spec.height;
  codec->pix_fmt = AV_PIX_FMT_YUV420P;
  codec->time_base = AVRational{1, spec.framesPerSecond};
  codec->framerate = AVRational{spec.framesPerSecond, 1};
  codec->gop_size = spec.framesPerSecond;
  if (std::strcmp(encoder->name, "libx264") == 0) {
    av_opt_set(codec->priv_data, "preset", "veryfast", 0);
  } else {
    codec->bit_rate = 400000;
  }
  if (format->oformat->flags & AVFMT_GLOBALHEADER) codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  const int result = avcodec_open2(codec, encoder, nullptr);
  if (result < 0) {
    out.error = std::string("cannot open the ") + encoder->name + " encoder: " + describeError(result);
    return false;
  }
  out.videoCodec = encoder->name;
  track.end = static_cast<int64_t>(spec.seconds) * spec.framesPerSecond;
  track.packetDuration = 1;
  return addStream(format, track, out.error);
}

bool openAudio(AVFormatContext* format, const DemoMediumSpec& spec, Track& track, DemoMediumResult& out) {
  const AVCodec* encoder = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (encoder == nullptr) return out.error = "this FFmpeg has no AAC encoder", false;
  track.codec.reset(avcodec_alloc_context3(encoder));
  if (!track.codec) return out.error = "out of memory", false;
  AVCodecContext* codec = track.codec.get();
  codec->sample_fmt = AV_SAMPLE_FMT_FLTP;
  codec->sample_rate = spec.sampleRate;
  av_channel_layout_default(&codec->ch_layout, spec.channels);
  codec->bit_rate = 128000;
  codec->time_base = AVRational{1, spec.sampleRate};
  if (format->oformat->flags & AVFMT_GLOBALHEADER) codec->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  const int result = avcodec_open2(codec, encoder, nullptr);
  if (result < 0) return out.error = "cannot open the AAC encoder: " + describeError(result), false;
  out.audioCodec = encoder->name;
  track.end = static_cast<int64_t>(spec.seconds) * spec.sampleRate;
  return addStream(format, track, out.error);
}

// FFmpeg's encoders report their progress at the "info" level; the
// demonstration wants only errors while it makes its medium.
class QuietLog {
 public:
  QuietLog() : previous_(av_log_get_level()) {
    if (previous_ > AV_LOG_ERROR) av_log_set_level(AV_LOG_ERROR);
  }
  ~QuietLog() { av_log_set_level(previous_); }

 private:
  int previous_;
};

}  // namespace

DemoMediumResult writeDemoMedium(const std::string& path, const DemoMediumSpec& spec) {
  DemoMediumResult out;
  QuietLog quiet;
  OutputFile file;
  {
    AVFormatContext* format = nullptr;
    const int result = avformat_alloc_output_context2(&format, nullptr, "mp4", path.c_str());
    if (result < 0 || format == nullptr) return out.error = "cannot set up MP4 output: " + describeError(result), out;
    file.format.reset(format);
  }
  AVFormatContext* format = file.format.get();
  av_dict_set(&format->metadata, "title", "zanstream demo: colour bars and a tone", 0);
  av_dict_set(&format->metadata, "artist", "zanstream", 0);

  Track video, audio;
  if (!openVideo(format, spec, video, out) || !openAudio(format, spec, audio, out)) return out;

  int result = avio_open(&format->pb, path.c_str(), AVIO_FLAG_WRITE);
  if (result < 0) return out.error = "cannot create " + path + ": " + describeError(result), out;
  result = avformat_write_header(format, nullptr);
  if (result < 0) return out.error = "cannot write the MP4 header: " + describeError(result), out;

  ff::FramePtr picture = ff::makeFrame(), sound = ff::makeFrame();
  ff::PacketPtr packet = ff::makePacket();
  if (!picture || !sound || !packet) return out.error = "out of memory", out;
  picture->format = AV_PIX_FMT_YUV420P;
  picture->width = spec.width;
  picture->height = spec.height;
  const int frameSize = audio.codec->frame_size > 0 ? audio.codec->frame_size : 1024;
  sound->format = audio.codec->sample_fmt;
  sound->nb_samples = frameSize;
  sound->sample_rate = spec.sampleRate;
  if (av_channel_layout_copy(&sound->ch_layout, &audio.codec->ch_layout) < 0 ||
      av_frame_get_buffer(picture.get(), 0) < 0 || av_frame_get_buffer(sound.get(), 0) < 0)
    return out.error = "out of memory", out;
  const bool smallLastFrame = (audio.codec->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME) != 0;

  // Frames go to the muxer in time order, whichever stream is behind next.
  while (video.next < video.end || audio.next < audio.end) {
    const bool videoNext = audio.next >= audio.end ||
                           (video.next < video.end &&
                            av_compare_ts(video.next, video.codec->time_base, audio.next, audio.codec->time_base) <= 0);
    if (videoNext) {
      if ((result = av_frame_make_writable(picture.get())) < 0) break;
      drawPicture(picture.get(), video.next, video.end);
      picture->pts = video.next++;
      if ((result = encodeAndWrite(format, video, picture.get(), packet.get())) < 0) break;
    } else {
      if ((result = av_frame_make_writable(sound.get())) < 0) break;
      const int64_t left = audio.end - audio.next;
      const int samples = left < frameSize && smallLastFrame ? static_cast<int>(left) : frameSize;
      sound->nb_samples = samples;
      for (int channel = 0; channel < spec.channels; ++channel) {
        float* data = reinterpret_cast<float*>(sound->data[channel]);
        for (int i = 0; i < samples; ++i) {
          const int64_t n = audio.next + i;
          data[i] = n < audio.end ? static_cast<float>(0.5 * std::sin(2.0 * std::numbers::pi * spec.toneHertz *
                                                                      static_cast<double>(n) / spec.sampleRate))
                                  : 0.0f;
        }
      }
      sound->pts = audio.next;
      audio.next += samples;
      if ((result = encodeAndWrite(format, audio, sound.get(), packet.get())) < 0) break;
    }
  }
  if (result >= 0) result = encodeAndWrite(format, video, nullptr, packet.get());
  if (result >= 0) result = encodeAndWrite(format, audio, nullptr, packet.get());
  if (result < 0) return out.error = "cannot encode the demo medium: " + describeError(result), out;
  if ((result = av_write_trailer(format)) < 0) return out.error = "cannot finish " + path + ": " + describeError(result), out;
  if ((result = avio_closep(&format->pb)) < 0) return out.error = "cannot close " + path + ": " + describeError(result), out;
  out.ok = true;
  return out;
}

}  // namespace zan::host
