// FFMpegDecoderCore: how long the medium is, moving the input to a new
// time, and resetting the decoding state so the skip rules line audio and
// video up again at the new place.
#include <algorithm>
#include <cstring>
#include <strings.h>

#include "core/FFMpegDecoderCore.h"
#include "support/CBBLog.h"

namespace zan {

namespace {

constexpr int kFlacStreamInfoSamplesOffset = 13;  // in STREAMINFO, after the 4-byte block header is gone

// The 36-bit total-sample field of a FLAC STREAMINFO block.
uint64_t flacTotalSamples(const uint8_t* streamInfo, int size) {
  if (streamInfo == nullptr || size < kFlacStreamInfoSamplesOffset + 5) return 0;
  const uint8_t* p = streamInfo + kFlacStreamInfoSamplesOffset;
  return (static_cast<uint64_t>(p[0] & 0x0F) << 32) | (static_cast<uint64_t>(p[1]) << 24) |
         (static_cast<uint64_t>(p[2]) << 16) | (static_cast<uint64_t>(p[3]) << 8) | p[4];
}

}  // namespace

void FFMpegDecoderCore::computeDuration() {
  // A negative start in a format whose times are unsigned 33-bit counts
  // (MPEG-TS, MPEG-PS) comes from FFmpeg's wrap correction.
  const int64_t start = formatContext_->start_time;
  if (start != AV_NOPTS_VALUE && start < 0 && formatContext_->nb_streams > 0 &&
      formatContext_->streams[0]->pts_wrap_bits == 33) {
    const AVStream* first = formatContext_->streams[0];
    unwrapTimes_ = true;
    wrapShift_ = av_rescale_q(int64_t{1} << first->pts_wrap_bits, first->time_base, AVRational{1, 1000000});
  }
  const char* demuxer = formatContext_->iformat ? formatContext_->iformat->name : "";
  if (formatContext_->duration != AV_NOPTS_VALUE) {
    logDebug("FFMpegDecoderCore::computeDuration : m_formatContext->duration %d",
             static_cast<int>(formatContext_->duration));
    duration_ = formatContext_->duration / 1000;
  } else if (strcasecmp(demuxer, "flac") == 0) {
    uint64_t samples = 0;
    if (formatContext_->nb_streams > 0) {
      const AVCodecParameters* parameters = formatContext_->streams[0]->codecpar;
      // libavformat exposes the STREAMINFO block as the stream's extradata.
      if (parameters->extradata_size >= 18) {
        decoderClock_ = true;
        seekable_ = false;
        samples = flacTotalSamples(parameters->extradata, parameters->extradata_size);
      }
      if (parameters->codec_type == AVMEDIA_TYPE_AUDIO && parameters->sample_rate > 0)
        duration_ = static_cast<int64_t>(samples / static_cast<uint64_t>(parameters->sample_rate)) * 1000;
    }
    byteSeek_ = true;
  } else {
    for (unsigned i = 0; i < formatContext_->nb_streams; ++i) {
      const AVStream* stream = formatContext_->streams[i];
      const AVMediaType type = stream->codecpar->codec_type;
      if (type != AVMEDIA_TYPE_VIDEO && type != AVMEDIA_TYPE_AUDIO) continue;
      if (stream->duration == AV_NOPTS_VALUE || stream->time_base.num == 0 || stream->time_base.den == 0) continue;
      logDebug("FFMpegDecoderCore::computeDuration : m_formatContext->streams[i]->duration %d %d %d",
               static_cast<int>(formatContext_->duration), stream->time_base.den, stream->time_base.num);
      const int64_t length = stream->duration * stream->time_base.num * 1000 / stream->time_base.den;
      if (static_cast<uint64_t>(length) > static_cast<uint64_t>(duration_)) duration_ = length;
    }
  }
  if (strcasecmp(demuxer, "nsv") == 0) {
    logInfo("FFMpegDecoderCore::computeDuration : nsv files are non seekable for now");
    seekable_ = false;
  }
  if (std::strstr(demuxer, "mov") != nullptr) {
    logInfo("FFMpegDecoderCore::computeDuration : mov/mp4 files, no check for late frames");
    checkLateFrames_ = false;
  }
  logDebug("FFMpegDecoderCore::computeDuration(): duration is %u", static_cast<unsigned>(duration_));
}

bool FFMpegDecoderCore::setPosition(uint64_t milliseconds) {
  PLockGuard guard(lock_);
  if (formatContext_ == nullptr || input_ == nullptr) return false;
  const int64_t fileSize = formatContext_->pb ? avio_size(formatContext_->pb) : -1;
  logDebug("FFMpegDecoderCore::setPosition(): %u - duration is %u - file_size is %d",
           static_cast<unsigned>(milliseconds), static_cast<unsigned>(duration_), static_cast<int>(fileSize));
  const int64_t timeUs = static_cast<int64_t>(milliseconds) * 1000;
  const int64_t start = mediumStart();
  // A seek that fails may have moved the byte stream (FFmpeg searches by
  // reading): it goes back to where the demuxer stood, so that reading
  // goes on from there.
  const int64_t readPosition = formatContext_->pb ? avio_tell(formatContext_->pb) : -1;
  const auto failed = [&] {
    logWarn("FFMpegDecoderCore::setPosition(): seeking failed, do not reset timestamps");
    if (readPosition >= 0 && avio_tell(formatContext_->pb) != readPosition &&
        avio_seek(formatContext_->pb, readPosition, SEEK_SET) < 0) {
      logError("FFMpegDecoderCore::setPosition(): the read position %lld could not be restored",
               static_cast<long long>(readPosition));
    }
    return false;
  };
  // Past the end there is nothing to seek to, and FFmpeg's search for it
  // would read the medium to its end first.
  if (duration_ > 0 && milliseconds > static_cast<uint64_t>(duration_)) {
    logWarn("FFMpegDecoderCore::setPosition(): %u is past the end (%u)", static_cast<unsigned>(milliseconds),
            static_cast<unsigned>(duration_));
    return false;
  }
  int64_t bytePosition = -1;
  if (duration_ > 0 && fileSize > 0)
    bytePosition = static_cast<int64_t>(static_cast<uint64_t>(fileSize) * std::max<uint64_t>(milliseconds, 1) /
                                        static_cast<uint64_t>(duration_));

  int64_t landed = timeUs + start;
  if (byteSeek_ && bytePosition != 0) {
    logDebug("FFMpegDecoderCore::setPosition(): av_seek_frame (bytepos = %u, flag=AVSEEK_FLAG_BYTE)",
             static_cast<unsigned>(bytePosition));
    if (av_seek_frame(formatContext_, -1, bytePosition, AVSEEK_FLAG_BYTE) < 0) {
      logError("FFMpegDecoderCore::setPosition(): av_seek_frame (bytepos = %u, flag=AVSEEK_FLAG_BYTE)",
               static_cast<unsigned>(bytePosition));
      return failed();
    }
    readAhead_.clear();
  } else if (!seekToKeyFrame(timeUs + start, landed)) {
    return failed();
  }

  // Everything restarts where delivery resumes.
  const uint64_t fromStart = static_cast<uint64_t>(std::max<int64_t>(landed - start, 0));
  seekFromStart_ = fromStart;
  seekTarget_ = deliveredClock(fromStart);
  firstAudioTimestamp_ = firstVideoTimestamp_ = AV_NOPTS_VALUE;
  lastAudioTimestamp_ = 0;
  lastVideoTimestamp_ = 0;
  audioLastTimestamp_ = 0;
  frameCounter_ = static_cast<uint64_t>(static_cast<double>(fromStart) / 1e6 * frameRate_);
  audioNextTimestamp_ = fromStart;
  // The decoders are told about the end again when the input ends again.
  endOfInput_ = videoDrainSent_ = audioDrained_ = false;
  if (videoCodec_) avcodec_flush_buffers(videoCodec_.get());
  if (audioCodec_) avcodec_flush_buffers(audioCodec_.get());
  return true;
}

void FFMpegDecoderCore::flush(uint64_t milliseconds) {
  PLockGuard guard(lock_);
  firstAudioTimestamp_ = firstVideoTimestamp_ = AV_NOPTS_VALUE;
  lastAudioTimestamp_ = 0;
  lastVideoTimestamp_ = 0;
  audioLastTimestamp_ = 0;
  seekFromStart_ = milliseconds * 1000;
  seekTarget_ = deliveredClock(seekFromStart_);
  if (videoCodec_) avcodec_flush_buffers(videoCodec_.get());
  if (audioCodec_) avcodec_flush_buffers(audioCodec_.get());
  audioSeekPending_ = videoSeekPending_ = true;
  // The input was not moved to a key frame: after the decoder lost its
  // reference pictures, the next picture may be one that depends on them.
  // Delivering it would hand out a damaged picture, so video resumes on the
  // next key frame, as it does after a seek.
  waitKeyframe_ = true;
  videoSkipCount_ = 0;
  logDebug("FFMpegDecoderCore::flush(): reset to position %u %u %u", static_cast<unsigned>(milliseconds),
           static_cast<unsigned>(seekTarget_), static_cast<unsigned>(position_.load()));
}

}  // namespace zan
