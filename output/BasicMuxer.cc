// The basic muxer; see BasicMuxer.h.
#include "output/BasicMuxer.h"

#include <cinttypes>
#include <climits>
#include <cstring>

extern "C" {
#include <libavutil/opt.h>
}

#include "encoder/profile/FFMpegStreamingProfile.h"
#include "output/MuxerSink.h"
#include "support/CBBLog.h"

namespace zan {

namespace {

// Sizes of the metadata fields the engine has always filled, terminator
// included.
constexpr size_t kTextFieldSize = 512;
constexpr size_t kGenreFieldSize = 32;

// |text| cut to fit a field of |fieldSize| bytes with its terminator,
// without splitting a UTF-8 character.
std::string fitField(const char* text, size_t fieldSize) {
  std::string value = text ? text : "";
  if (value.size() < fieldSize) return value;
  size_t cut = fieldSize - 1;
  while (cut > 0 && (static_cast<unsigned char>(value[cut]) & 0xC0) == 0x80) --cut;
  value.resize(cut);
  return value;
}

void setText(AVDictionary** metadata, const char* key, const char* text, size_t fieldSize) {
  const std::string value = fitField(text, fieldSize);
  if (!value.empty()) av_dict_set(metadata, key, value.c_str(), 0);
}

// Seconds from the settings as whole microseconds, no more than |limit|
// (the settings are the engine's text and may hold any number).
int64_t microseconds(float seconds, int64_t limit) {
  const double value = static_cast<double>(seconds) * 1000000.0;
  return value >= static_cast<double>(limit) ? limit : static_cast<int64_t>(value);
}

bool hasPrivateOption(const AVOutputFormat* format, const char* name) {
  return format->priv_class != nullptr &&
         av_opt_find(const_cast<AVClass**>(&format->priv_class), name, nullptr, 0, AV_OPT_SEARCH_FAKE_OBJ) != nullptr;
}

}  // namespace

BasicMuxer::BasicMuxer(MuxerSink* sink, const FFMpegStreamingProfile* profile) : profile_(profile), sink_(sink) {}

BasicMuxer::~BasicMuxer() { close(); }

int BasicMuxer::open() {
  close();
  formatContext_ = initFFMpegContext();
  if (!formatContext_) return -1;
  return createIOContext();
}

ff::FormatPtr BasicMuxer::initFFMpegContext() {
  const std::string name = profile_->formatName();
  const AVOutputFormat* format = av_guess_format(name.c_str(), nullptr, nullptr);
  if (format == nullptr) {
    logError("FFMpegEncoder::initFFMpegContext() could not find output format %s", name.c_str());
    return nullptr;
  }
  AVFormatContext* raw = nullptr;
  if (avformat_alloc_output_context2(&raw, format, nullptr, nullptr) < 0 || raw == nullptr) {
    logError("FFMpegEncoder::initFFMpegContext() could not allocate format context");
    return nullptr;
  }
  ff::FormatPtr context(raw);

  // Times are shifted only as far as no time is negative: a shift to zero
  // makes FFmpeg's MP4 muxer start every track at 0 (it stretches the first
  // sample), which moves a track that starts later, audio after its
  // priming, out of step with the others.
  if (hasPrivateOption(format, "movflags")) context->avoid_negative_ts = AVFMT_AVOID_NEG_TS_MAKE_NON_NEGATIVE;
  context->max_delay = profile_->encoderMaxDelay > 0 ? static_cast<int>(microseconds(profile_->encoderMaxDelay, INT_MAX))
                                                     : (std::strcmp(format->name, "flv") == 0 ? 700000 : 1000000);

  // Metadata as UTF-8 under FFmpeg's generic keys; each format writes the
  // ones it can carry.
  const streamer::MediumDescription* medium = profile_->medium;
  setText(&context->metadata, "album", medium->getAlbum(), kTextFieldSize);
  setText(&context->metadata, "artist", medium->getAuthor(), kTextFieldSize);
  setText(&context->metadata, "title", medium->getTitle(), kTextFieldSize);
  setText(&context->metadata, "genre", medium->getGenre(), kGenreFieldSize);
  if (medium->getTrack() > 0) av_dict_set_int(&context->metadata, "track", medium->getTrack(), 0);
  if (medium->getYear() > 0) av_dict_set_int(&context->metadata, "date", medium->getYear(), 0);
  return context;
}

ff::DictionaryPtr BasicMuxer::privateOptions() const {
  const AVOutputFormat* format = formatContext_->oformat;
  AVDictionary* options = nullptr;
  if (hasPrivateOption(format, "preload")) {
    const int64_t preload = profile_->encoderPreload > 0 ? microseconds(profile_->encoderPreload, INT_MAX) : 500000;
    av_dict_set_int(&options, "preload", preload, 0);
  }
  // Nothing can be patched once it left: MP4/MOV are written as fragments
  // behind an empty index. An empty index has no edit list to say where a
  // track starts, so every track's first fragment says it in its decode
  // time (frag_discont without edit lists: the first time, not 0), and
  // audio begins before the pictures by its encoder's priming, as in every
  // other container.
  if (hasPrivateOption(format, "movflags")) {
    av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof+frag_discont", 0);
    av_dict_set(&options, "use_editlist", "0", 0);
  }
  // The FLV header carries the library's own onMetaData (FlvHeader.h).
  if (hasPrivateOption(format, "flvflags")) av_dict_set(&options, "flvflags", "no_metadata", 0);
  return ff::DictionaryPtr(options);
}

int BasicMuxer::createIOContext() {
  if (!formatContext_) return -1;
  ff::AvBlockPtr<uint8_t> buffer(static_cast<uint8_t*>(av_malloc(kIOBufferSize)));
  if (!buffer) return -1;
  std::memset(buffer.get(), 0, kIOBufferSize);
  // No read and no seek function: the output only goes forward.
  ioContext_.reset(avio_alloc_context(buffer.get(), kIOBufferSize, 1, this, nullptr, &writeCallback, nullptr));
  if (!ioContext_) return -1;
  buffer.release();  // the I/O context owns it now
  ioContext_->seekable = 0;
  ioContext_->max_packet_size = kIOBufferSize;
  formatContext_->pb = ioContext_.get();
  formatContext_->flags |= AVFMT_FLAG_CUSTOM_IO;
  return 0;
}

int BasicMuxer::writeCallback(void* opaque, uint8_t* data, int size) {
  auto* self = static_cast<BasicMuxer*>(opaque);
  if (size <= 0) return 0;
  switch (self->output_) {
    case Output::kHeader:
      self->header_.insert(self->header_.end(), data, data + size);
      break;
    case Output::kPackets:
      if (self->sink_ != nullptr) self->sink_->muxedBytes(data, static_cast<size_t>(size));
      break;
    case Output::kDropped:
      break;
  }
  return size;
}

void BasicMuxer::close() {
  if (!formatContext_) return;
  writeTrailer();
  // The format context does not own a caller's I/O context: free it first,
  // then the I/O context it pointed to.
  formatContext_->pb = nullptr;
  formatContext_.reset();
  ioContext_.reset();
  headerWritten_ = false;
  trailerWritten_ = false;
  suspended_ = false;
}

bool BasicMuxer::startMuxer(Output headerOutput, AVDictionary* extraOptions) {
  output_ = headerOutput;
  header_.clear();
  ff::DictionaryPtr options = privateOptions();
  AVDictionary* raw = options.release();
  // Appended: a flag added to a flag option keeps the flags set above.
  av_dict_copy(&raw, extraOptions, AV_DICT_APPEND);
  const int result = avformat_write_header(formatContext_.get(), &raw);
  options.reset(raw);
  if (result < 0) {
    output_ = Output::kPackets;
    header_.clear();
    logError("av_write_header returned %d", result);
    return false;
  }
  headerWritten_ = true;
  avio_flush(ioContext_.get());
  output_ = Output::kPackets;
  return true;
}

bool BasicMuxer::writeHeader() {
  if (!formatContext_ || !ioContext_ || headerWritten_) return headerWritten_;
  if (!startMuxer(Output::kHeader)) return false;
  std::vector<uint8_t> header;
  header.swap(header_);
  if (sink_ != nullptr && !header.empty()) sink_->headerBytes(header.data(), header.size());
  return true;
}

bool BasicMuxer::writeTrailer() {
  if (!headerWritten_ || !formatContext_ || !ioContext_) return true;
  headerWritten_ = false;
  trailerWritten_ = true;
  const int result = av_write_trailer(formatContext_.get());
  avio_flush(ioContext_.get());
  if (result < 0) {
    logError("BasicMuxer::writeTrailer : av_write_trailer returned %d", result);
    return false;
  }
  return true;
}

bool BasicMuxer::writePacket(AVFormatContext* context, AVPacket* packet, const char* kind, uint64_t ts) {
  const int result =
      interleaved ? av_interleaved_write_frame(context, packet) : av_write_frame(context, packet);
  if (result < 0) {
    logError("BasicMuxer::write%sPacket : av_write_frame returned %d : TS %" PRIu64, kind, result, ts);
    return false;
  }
  return true;
}

bool BasicMuxer::writeAudioPacket(AVFormatContext* context, const uint8_t* data, const unsigned& size,
                                  const uint64_t& ts) {
  if (context == nullptr || (context == formatContext_.get() && !headerWritten_)) return false;
  if (audioStreamIndex < 0 || audioStreamIndex >= static_cast<int>(context->nb_streams)) return false;
  ff::PacketPtr packet = audioPacket(data, size, ts);
  return packet && writePacket(context, packet.get(), "Audio", ts);
}

ff::PacketPtr BasicMuxer::audioPacket(const uint8_t* data, unsigned size, uint64_t ts) const {
  // Audio is handed over as a copy of its own (a reference-counted buffer
  // that FFmpeg keeps while it interleaves); the caller's buffer is free
  // again when this returns.
  ff::PacketPtr packet = ff::makePacket();
  if (!packet || av_new_packet(packet.get(), static_cast<int>(size)) < 0) return nullptr;
  if (size > 0) std::memcpy(packet->data, data, size);
  packet->pts = packet->dts = static_cast<int64_t>(ts);
  packet->stream_index = audioStreamIndex;
  packet->flags |= AV_PKT_FLAG_KEY;
  return packet;
}

bool BasicMuxer::writeVideoPacket(AVFormatContext* context, const uint8_t* data, const unsigned& size,
                                  const uint64_t& ts, bool keyFrame, int64_t dts) {
  if (context == nullptr || (context == formatContext_.get() && !headerWritten_)) return false;
  if (videoStreamIndex < 0 || videoStreamIndex >= static_cast<int>(context->nb_streams)) return false;
  // Video is written from the caller's buffer; FFmpeg copies what it has
  // to keep (a packet without a buffer reference is never held).
  ff::PacketPtr packet = ff::makePacket();
  if (!packet) return false;
  packet->data = const_cast<uint8_t*>(data);
  packet->size = static_cast<int>(size);
  packet->pts = static_cast<int64_t>(ts);
  packet->dts = dts == kDtsFromPts ? packet->pts : dts;
  packet->stream_index = videoStreamIndex;
  if (keyFrame) packet->flags |= AV_PKT_FLAG_KEY;
  return writePacket(context, packet.get(), "Video", ts);
}

bool BasicMuxer::writeAudioPacket(const uint8_t* data, const unsigned& size, const uint64_t& ts, int) {
  return writeAudioPacket(formatContext_.get(), data, size, ts);
}

bool BasicMuxer::writeVideoPacket(const uint8_t* data, const unsigned& size, const uint64_t& ts, bool keyFrame,
                                  int, int64_t dts) {
  return writeVideoPacket(formatContext_.get(), data, size, ts, keyFrame, dts);
}

void BasicMuxer::suspendOutput() {
  if (!formatContext_ || !ioContext_ || suspended_) return;
  if (!headerWritten_) {
    // Ended: the trailer went out with the end of the stream, which a
    // resume continues.
    suspended_ = trailerWritten_;
    return;
  }
  // Media FFmpeg still holds (the interleaving queue, a muxer's own
  // buffer such as MPEG-TS's pending PES data) was accepted before the
  // suspension and goes out with it; only the trailer itself is dropped.
  av_interleaved_write_frame(formatContext_.get(), nullptr);
  av_write_frame(formatContext_.get(), nullptr);
  avio_flush(ioContext_.get());
  output_ = Output::kDropped;
  writeTrailer();
  flush();
  suspended_ = true;
}

bool BasicMuxer::resumeOutput(const uint64_t&) {
  if (!formatContext_ || !ioContext_ || !suspended_) return headerWritten_;
  suspended_ = false;
  // A format context that wrote its trailer does not start cleanly again:
  // the bitstream filters FFmpeg inserted for its streams (H.264 to Annex B
  // for MPEG-TS, say) have seen their end and refuse further packets. A new
  // context with the same streams takes over the I/O context instead.
  ff::FormatPtr fresh = initFFMpegContext();
  if (!fresh || !copyStreams(*formatContext_, *fresh)) {
    logError("BasicMuxer::resumeOutput : could not rebuild the output context");
    return false;
  }
  AVDictionary* raw = nullptr;
  continuationOptions(*formatContext_, &raw);
  ff::DictionaryPtr continuation(raw);
  formatContext_->pb = nullptr;
  formatContext_ = std::move(fresh);
  formatContext_->pb = ioContext_.get();
  formatContext_->flags |= AVFMT_FLAG_CUSTOM_IO;
  if (!startMuxer(Output::kDropped, continuation.get())) {
    logError("BasicMuxer::resumeOutput : the container does not start again");
    return false;
  }
  trailerWritten_ = false;
  return true;
}

void BasicMuxer::continuationOptions(const AVFormatContext& previous, AVDictionary** options) {
  const AVOutputFormat* format = previous.oformat;
  if (hasPrivateOption(format, "fragment_index")) {
    // The fragments go on with the next sequence number, and their base
    // decoding times (tfdt) are the packets' own instead of a new start
    // at 0 that would lay the new pictures over the old ones.
    int64_t next = 1;
    if (av_opt_get_int(previous.priv_data, "fragment_index", 0, &next) >= 0 && next > 0)
      av_dict_set_int(options, "fragment_index", next, 0);
    av_dict_set(options, "movflags", "+frag_discont", 0);
    // FFmpeg's default for fragmented MP4 shifts the first packet to 0,
    // whatever its time: the shift is left to negative times only.
    av_dict_set(options, "avoid_negative_ts", "make_non_negative", 0);
  }
  // A new MPEG-TS muxer counts every PID's continuity from 0 again: the
  // discontinuity indicator tells a reader that the jump is meant.
  if (hasPrivateOption(format, "mpegts_flags")) av_dict_set(options, "mpegts_flags", "+initial_discontinuity", 0);
}

bool BasicMuxer::copyStreams(const AVFormatContext& from, AVFormatContext& to) {
  for (unsigned i = 0; i < from.nb_streams; ++i) {
    const AVStream* old = from.streams[i];
    AVStream* stream = avformat_new_stream(&to, nullptr);
    if (stream == nullptr || avcodec_parameters_copy(stream->codecpar, old->codecpar) < 0) return false;
    stream->time_base = old->time_base;
    stream->avg_frame_rate = old->avg_frame_rate;
    stream->r_frame_rate = old->r_frame_rate;
    stream->sample_aspect_ratio = old->sample_aspect_ratio;
    stream->disposition = old->disposition;
    if (av_dict_copy(&stream->metadata, old->metadata, 0) < 0) return false;
  }
  return true;
}

void BasicMuxer::flush() {
  if (ioContext_) avio_flush(ioContext_.get());
}

}  // namespace zan
