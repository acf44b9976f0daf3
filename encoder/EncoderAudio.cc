// Audio encoding: engine PCM (8 to 32 bits, up to six channels) is brought
// to 16-bit stereo or mono the way the resampler stage does it, converted
// to the encoder's rate and sample format, cut into frames of the encoder's
// size and encoded; the coded frames go to the muxer. Times count samples,
// so the audio clock never drifts from what was encoded.
#include <cinttypes>

#include "encoder/FFMpegEncoder.h"
#include "output/BasicMuxer.h"
#include "transcoders/PcmConversion.h"

namespace zan {

void FFMpegEncoder::encodeAudioPacket(streamer::SamplePacket& packet) {
  if (!audio_.encodes()) return;
  const streamer::AudioDescription& source = *profile_->sourceDescription->getAudio();
  const int bits = source.getBitsPerSample();
  const int channels = source.getChannels();
  if (!pcm::isSupportedWidth(bits)) {
    logWarn("FFMpegEncoder::encodeAudioPacket : unknown bitsPerSample value %d", bits);
    return;
  }
  const int folded = pcm::foldedChannelCount(channels);
  if (folded == 0) {
    logWarn("FFMpegEncoder::encodeAudioPacket : unknown channels value %d", channels);
    return;
  }
  const size_t frameBytes = static_cast<size_t>(bits / 8) * static_cast<size_t>(channels);
  const size_t bytes = packet.getSize();
  if (packet.getData() == nullptr || bytes == 0 || bytes % frameBytes != 0 || bytes / frameBytes > INT32_MAX) {
    logWarn("FFMpegEncoder::encodeAudioPacket : %zu bytes are not whole %zu-byte sample frames", bytes, frameBytes);
    return;
  }
  const size_t frames = bytes / frameBytes;

  const uint8_t* samples = packet.getData();
  if (bits != 16) {
    widened_.resize(frames * static_cast<size_t>(channels) * 2);
    pcm::toSixteenBit(samples, frames * static_cast<size_t>(channels), bits, widened_.data());
    samples = widened_.data();
  }
  if (folded != channels) {
    folded_.resize(frames * 4);
    pcm::foldToStereo(samples, frames, channels, folded_.data());
    samples = folded_.data();
  }

  static const AVChannelLayout kMono = AV_CHANNEL_LAYOUT_MONO;
  const bool opened = audioFrames_.isOpen() ||
                      (audio_.amr ? audioFrames_.open(folded, source.getSampleRate(), kMono, AV_SAMPLE_FMT_S16,
                                                      audio_.amr->sampleRate(), audio_.amr->frameSize())
                                  : audioFrames_.open(folded, source.getSampleRate(), *audio_.codec));
  if (!opened) {
    logError("Audio Encoder: Unsupported format: channels=%d, sampleRate=%d", folded, source.getSampleRate());
    return;
  }
  if (audioRestart_) {
    // After a restart the audio clock starts again at the packet's time, on
    // the same origin as the video's, so both streams stay together. RTP
    // times go on without a jump, like the video's.
    audioRestart_ = false;
    if (audioEncoded_ && !rtp_ && packet.getTime() != streamer::kNoTime) {
      const int64_t origin = videoStartTime_ > 0 ? videoStartTime_ : 0;
      const int64_t relative = static_cast<int64_t>(packet.getTime()) - origin;
      audioPtsBase_ = av_rescale(relative > 0 ? relative : 0, audioRate(), 1000000) - audioSampleCount_;
    }
  }
  if (!audioFrames_.push(samples, static_cast<int>(frames))) {
    logWarn("FFMpegEncoder::encodeAudioPacket : sample conversion failed");
    return;
  }
  encodeAudioFrames(false);
}

void FFMpegEncoder::encodeAudioFrames(bool final) {
  if (!audioFrames_.isOpen()) {
    if (final) doEncodeAudio(nullptr);
    return;
  }
  if (final) audioFrames_.finish();
  // Encoders that take a short last frame get it as it is; the others get
  // it padded with silence.
  const bool shortLast = audio_.codec && (audio_.codec->codec->capabilities &
                                          (AV_CODEC_CAP_SMALL_LAST_FRAME | AV_CODEC_CAP_VARIABLE_FRAME_SIZE)) != 0;
  while (ff::FramePtr frame = audioFrames_.takeFrame(final, !shortLast)) {
    frame->pts = audioPtsBase_ + audioSampleCount_;
    audioSampleCount_ += frame->nb_samples;
    doEncodeAudio(frame.get());
  }
  if (final) doEncodeAudio(nullptr);
}

void FFMpegEncoder::doEncodeAudio(const AVFrame* frame) {
  if (audio_.amr) {
    // Speech frames come out at once: nothing to drain.
    if (frame == nullptr) return;
    const std::vector<uint8_t> coded = audio_.amr->encode(reinterpret_cast<const int16_t*>(frame->data[0]));
    if (coded.empty()) {
      logWarn("FFMpegEncoder::encodeAudioPacket : the AMR encoder refused a frame");
      return;
    }
    const int rate = audio_.amr->sampleRate();
    if (rtp_) {
      pushPayload(streamer::PACKET_AUDIO, coded.data(), coded.size(),
                  static_cast<uint64_t>(av_rescale(frame->pts > 0 ? frame->pts : 0, 1000000, rate)),
                  static_cast<uint64_t>(av_rescale(frame->nb_samples, 1000000, rate)), true);
    } else {
      const AVRational streamBase = muxer_->formatContext()->streams[audio_.index]->time_base;
      muxer_->writeAudioPacket(coded.data(), static_cast<unsigned>(coded.size()),
                               static_cast<uint64_t>(av_rescale_q(frame->pts, AVRational{1, rate}, streamBase)), 0);
    }
    audioEncoded_ = true;
    return;
  }
  AVCodecContext* codec = audio_.codec.get();
  const int sent = avcodec_send_frame(codec, frame);
  if (sent < 0 && sent != AVERROR_EOF) {
    logWarn("FFMpegEncoder::encodeAudioPacket : the encoder refused a frame %d", sent);
    return;
  }
  ff::PacketPtr packet = ff::makePacket();
  if (!packet) return;
  while (avcodec_receive_packet(codec, packet.get()) >= 0) {
    if (rtp_) {
      // One payload per frame, timed by the samples before it (the
      // encoder's priming delay taken off its times).
      const int64_t samples = packet->pts + codec->initial_padding;
      const int rate = codec->sample_rate;
      pushPayload(streamer::PACKET_AUDIO, packet->data, static_cast<size_t>(packet->size),
                  static_cast<uint64_t>(av_rescale(samples > 0 ? samples : 0, 1000000, rate)),
                  static_cast<uint64_t>(av_rescale(packet->duration, 1000000, rate)), true);
      av_packet_unref(packet.get());
      continue;
    }
    const AVRational streamBase = muxer_->formatContext()->streams[audio_.index]->time_base;
    av_packet_rescale_ts(packet.get(), codec->time_base, streamBase);
    muxer_->writeAudioPacket(packet->data, static_cast<unsigned>(packet->size), static_cast<uint64_t>(packet->pts), 0);
    av_packet_unref(packet.get());
  }
  audioEncoded_ = true;
}

}  // namespace zan
