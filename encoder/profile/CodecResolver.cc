#include "encoder/profile/CodecResolver.h"

#include "encoder/profile/CodecTables.h"

namespace zan::codecs {

namespace {

// Classic names whose decoder has another name in this build.
const char* decoderAlias(const std::string& classic) {
  if (classic == "libx264") return "h264";
  if (classic == "libfaac") return "aac";
  if (classic == "libmp3lame") return "mp3float";
  if (classic == "mp3") return "mp3float";
  if (classic == "libamr_nb") return "amrnb";
  if (classic == "libamr_wb") return "amrwb";
  return nullptr;
}

// Engine names whose codec the table folds into another one for encoding
// (every WMV name encodes as WMV8) but which need their own decoder: WMV9
// streams are WMV3 (the reverse table calls "wmv3" "wmv9"), WMV7 is WMV1.
const char* engineDecoderAlias(const std::string& engineName) {
  const std::string name = lowerClassic(engineName);
  if (name == "wmv9") return "wmv3";
  if (name == "wmv7") return "wmv1";
  return nullptr;
}

Resolution fromCodec(const std::string& requested, const AVCodec* codec) {
  Resolution resolution;
  resolution.requested = requested;
  if (codec) {
    resolution.backend = Backend::kFFmpeg;
    resolution.codec = codec;
    resolution.name = codec->name;
  }
  return resolution;
}

}  // namespace

std::string Resolution::describe() const {
  switch (backend) {
    case Backend::kFFmpeg: return requested + " -> FFmpeg " + name;
    case Backend::kOpenCoreAmrNb:
    case Backend::kVoAmrWbEnc: return requested + " -> " + name;
    case Backend::kUnavailable: break;
  }
  return requested + ": not available in this build";
}

Resolution resolveDecoder(const std::string& engineName) {
  if (const char* alias = engineDecoderAlias(engineName)) {
    if (const AVCodec* codec = avcodec_find_decoder_by_name(alias)) return fromCodec(engineName, codec);
  }
  const std::string classic = lowerClassic(engineToFFMpegCodecName(engineName, true));
  if (const char* alias = decoderAlias(classic)) {
    if (const AVCodec* codec = avcodec_find_decoder_by_name(alias)) return fromCodec(engineName, codec);
  }
  if (const AVCodec* codec = avcodec_find_decoder_by_name(classic.c_str())) return fromCodec(engineName, codec);
  // A codec name that is not a decoder name (for example "flv1" or
  // "mpeg4video") may still name a codec FFmpeg knows.
  if (const AVCodecDescriptor* descriptor = avcodec_descriptor_get_by_name(classic.c_str()))
    return fromCodec(engineName, avcodec_find_decoder(descriptor->id));
  return fromCodec(engineName, nullptr);
}

Resolution resolveEncoder(const std::string& ffmpegName) {
  const std::string classic = lowerClassic(ffmpegName);
  Resolution resolution;
  resolution.requested = ffmpegName;
  if (classic == "libamr_nb") {
    resolution.backend = Backend::kOpenCoreAmrNb;
    resolution.name = "opencore-amrnb";
    return resolution;
  }
  if (classic == "libamr_wb") {
    resolution.backend = Backend::kVoAmrWbEnc;
    resolution.name = "vo-amrwbenc";
    return resolution;
  }
  // FAAC left FFmpeg long ago; its native AAC encoder takes the name.
  const std::string name = classic == "libfaac" ? "aac" : classic;
  return fromCodec(ffmpegName, avcodec_find_encoder_by_name(name.c_str()));
}

std::string classicCodecName(AVCodecID id) {
  if (id == AV_CODEC_ID_FLV1) return "flv";
  // The AMR codecs were only ever known by their wrapper names, which the
  // reverse table turns into the engine's "amr" and "amr_nb".
  if (id == AV_CODEC_ID_AMR_WB) return "libamr_wb";
  if (id == AV_CODEC_ID_AMR_NB) return "libamr_nb";
  const char* name = avcodec_get_name(id);
  return name ? name : "";
}

std::string engineCodecName(AVCodecID id) { return ffmpegToEngineCodecName(classicCodecName(id)); }

std::string engineFormatName(const AVInputFormat* format) {
  if (format == nullptr || format->name == nullptr) return "";
  std::string name = format->name;
  const auto comma = name.find(',');
  if (comma != std::string::npos) name.resize(comma);
  return engineToFFMpegFormatName(name);
}

}  // namespace zan::codecs
