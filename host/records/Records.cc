#include "host/records/Records.h"

#include <cstring>

namespace zan::host {

const char* Settings::get(const char* key) const {
  if (key == nullptr) return nullptr;
  const auto it = values_.find(key);
  return it == values_.end() ? nullptr : it->second.c_str();
}

void Settings::put(const char* key, const char* value) {
  if (key == nullptr) return;
  if (value == nullptr) values_.erase(key);
  else values_[key] = value;
}

Medium::Medium(const std::string& location) : location_(location) {
  const auto scheme = location.find("://");
  if (scheme != std::string::npos && scheme > 0 && location.find('/') > scheme)
    protocol_ = location.substr(0, scheme + 3);
  std::string path = location;
  if (!protocol_.empty()) {
    const auto cut = path.find_first_of("?#");
    if (cut != std::string::npos) path.resize(cut);
  }
  const auto slash = path.find_last_of('/');
  const auto dot = path.find_last_of('.');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) extension_ = path.substr(dot + 1);
}

bool StreamDescription::hasAudio() const {
  const char* codec = audio_.getCodec();
  return *codec != '\0' && std::strcmp(codec, "none") != 0;
}

bool StreamDescription::hasVideo() const {
  const char* codec = video_.getCodec();
  return *codec != '\0' && std::strcmp(codec, "none") != 0;
}

void StreamDescription::set(const char* key, const char* value) {
  if (key == nullptr) return;
  properties_[key] = value ? value : "";
}

const char* StreamDescription::get(const char* key) const {
  if (key == nullptr) return nullptr;
  const auto it = properties_.find(key);
  return it == properties_.end() ? nullptr : it->second.c_str();
}

void copyAudio(const AudioDescription& from, AudioDescription& to) {
  to.setBitrate(from.getBitrate());
  to.setFrameSize(from.getFrameSize());
  to.setFlag(from.getFlag());
  to.setOption(from.getOption());
  to.setCodec(from.getCodec());
  to.setCodecData(from.getCodecData());
  to.setLayout(from.getLayout());
  to.setBitsPerSample(from.getBitsPerSample());
  to.setSampleRate(from.getSampleRate());
  to.setChannels(from.getChannels());
  to.setSampleFlags(from.getSampleFlags());
}

void copyVideo(const VideoDescription& from, VideoDescription& to) {
  to.setBitrate(from.getBitrate());
  to.setFrameSize(from.getFrameSize());
  to.setFlag(from.getFlag());
  to.setOption(from.getOption());
  to.setCodec(from.getCodec());
  to.setCodecData(from.getCodecData());
  to.setWidth(from.getWidth());
  to.setHeight(from.getHeight());
  to.setLayout(from.getLayout());
  to.setFrameRate(from.getFrameRate());
  to.setPixelFormat(from.getPixelFormat());
}

void StreamDescription::copyTo(OutputStreamDescription* target) const {
  if (target == nullptr || target == this) return;
  target->setFormat(format_.c_str());
  target->setBitrate(bitrate_);
  target->setEncoded(encoded_);
  target->setRTP(rtp_, rtpPayloadSize_);
  for (const auto& [key, value] : properties_) target->set(key.c_str(), value.c_str());
  copyAudio(audio_, *target->getAudio());
  copyVideo(video_, *target->getVideo());
}

OutputStreamDescription* Requested::getTarget() const {
  auto* copy = new StreamDescription();
  target_.copyTo(copy);
  return copy;
}

}  // namespace zan::host
