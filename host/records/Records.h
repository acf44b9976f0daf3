// The host's own engine records: plain value holders behind the engine
// interfaces that the plug-in library calls. The command-line program and
// the tests share them.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "zan/streamer/EngineRecords.h"

namespace zan::host {

using namespace zan::streamer;

class Settings : public MapGeneric {
 public:
  const char* get(const char* key) const override;
  void put(const char* key, const char* value) override;

 private:
  std::map<std::string, std::string> values_;
};

class ErrorRecord : public Error {
 public:
  void setCode(int code) override { code_ = code; }
  void setMessage(const char* text) override { message_ = text ? text : ""; }
  int getCode() const override { return code_; }
  const char* getMessage() const override { return message_.c_str(); }

 private:
  int code_ = 0;
  std::string message_;
};

class Medium : public MediumDescription {
 public:
  Medium() = default;
  // Fills location, protocol (the scheme prefix, e.g. "http://") and the
  // extension (from the path, without query or fragment).
  explicit Medium(const std::string& location);

  const char* getLocation() const override { return location_.c_str(); }
  uint64_t getDuration() const override { return duration_; }
  void setDuration(uint64_t milliseconds) override { duration_ = milliseconds; }
  uint64_t getSize() const override { return size_; }
  void setSize(uint64_t bytes) override { size_ = bytes; }
  void setBitrate(uint64_t bitsPerSecond) override { bitrate_ = bitsPerSecond; }
  void setSeekable(bool seekable) override { seekable_ = seekable; }
  void setLive(bool live) override { live_ = live; }
  const char* getExtension() const override { return extension_.c_str(); }
  const char* getProtocol() const override { return protocol_.c_str(); }
  void setTitle(const char* title) override { title_ = title ? title : ""; }
  void setAuthor(const char* author) override { author_ = author ? author : ""; }
  const MapGeneric* getProperties() const override { return &properties_; }
  uint64_t getBitrate() const override { return bitrate_; }
  bool isSeekable() const override { return seekable_; }
  bool isLive() const override { return live_; }
  const char* getTitle() const override { return title_.c_str(); }
  const char* getAuthor() const override { return author_.c_str(); }
  const char* getAlbum() const override { return album_.c_str(); }
  const char* getGenre() const override { return genre_.c_str(); }
  int getTrack() const override { return track_; }
  int getYear() const override { return year_; }

  void setLocation(const std::string& location) { location_ = location; }
  void setExtension(const std::string& extension) { extension_ = extension; }
  void setProtocol(const std::string& protocol) { protocol_ = protocol; }
  void setAlbum(const std::string& album) { album_ = album; }
  void setGenre(const std::string& genre) { genre_ = genre; }
  void setTrack(int track) { track_ = track; }
  void setYear(int year) { year_ = year; }
  Settings& properties() { return properties_; }

 private:
  std::string location_, extension_, protocol_, title_, author_, album_, genre_;
  uint64_t duration_ = 0, size_ = 0, bitrate_ = 0;
  int track_ = 0, year_ = 0;
  bool seekable_ = false, live_ = false;
  Settings properties_;
};

// Fields common to both track kinds.
template <typename Interface>
class Track : public Interface {
 public:
  unsigned getBitrate() const override { return bitrate_; }
  void setBitrate(unsigned bitsPerSecond) override { bitrate_ = bitsPerSecond; }
  void setFrameSize(unsigned frameSize) override { frameSize_ = frameSize; }
  void setFlag(bool flag) override { flag_ = flag; }
  void setOption(int option) override { option_ = option; }
  const char* getCodec() const override { return codec_.c_str(); }
  void setCodec(const char* name) override { codec_ = name ? name : ""; }
  void setCodecData(const char* hex) override { codecData_ = hex ? hex : ""; }
  unsigned getFrameSize() const override { return frameSize_; }
  bool getFlag() const override { return flag_; }
  int getOption() const override { return option_; }
  const char* getCodecData() const override { return codecData_.c_str(); }

 private:
  unsigned bitrate_ = 0, frameSize_ = 0;
  bool flag_ = false;
  int option_ = 0;
  std::string codec_, codecData_;
};

class Audio : public Track<AudioDescription> {
 public:
  void setLayout(int layout) override { layout_ = layout; }
  void setBitsPerSample(int bits) override { bitsPerSample_ = bits; }
  int getSampleRate() const override { return sampleRate_; }
  void setSampleRate(int hertz) override { sampleRate_ = hertz; }
  int getChannels() const override { return channels_; }
  void setChannels(int channels) override { channels_ = channels; }
  void setSampleFlags(int flags) override { sampleFlags_ = flags; }
  int getLayout() const override { return layout_; }
  int getBitsPerSample() const override { return bitsPerSample_; }
  int getSampleFlags() const override { return sampleFlags_; }

 private:
  int layout_ = 0, bitsPerSample_ = 0, sampleRate_ = 0, channels_ = 0, sampleFlags_ = 0;
};

class Video : public Track<VideoDescription> {
 public:
  int getWidth() const override { return width_; }
  void setWidth(int width) override { width_ = width; }
  int getHeight() const override { return height_; }
  void setHeight(int height) override { height_ = height; }
  int getLayout() const override { return layout_; }
  void setLayout(int layout) override { layout_ = layout; }
  double getFrameRate() const override { return frameRate_; }
  void setFrameRate(double framesPerSecond) override { frameRate_ = framesPerSecond; }
  int getPixelFormat() const override { return pixelFormat_; }
  void setPixelFormat(int code) override { pixelFormat_ = code; }

 private:
  int width_ = 0, height_ = 0, layout_ = 0, pixelFormat_ = 0;
  double frameRate_ = 0.0;
};

// A stream has a track of a kind when that track's codec is set and is not
// "none".
class StreamDescription : public OutputStreamDescription {
 public:
  const char* getFormat() const override { return format_.c_str(); }
  unsigned getBitrate() const override { return bitrate_; }
  bool hasAudio() const override;
  bool hasVideo() const override;
  void set(const char* key, const char* value) override;
  void setEncoded(bool encoded) override { encoded_ = encoded; }
  void setFormat(const char* name) override { format_ = name ? name : ""; }
  bool isRTP() const override { return rtp_; }
  int getRTPPayloadSize() const override { return rtpPayloadSize_; }
  AudioDescription* getAudio() override { return &audio_; }
  VideoDescription* getVideo() override { return &video_; }
  void copyTo(OutputStreamDescription* target) const override;
  const AudioDescription* getAudio() const override { return &audio_; }
  const VideoDescription* getVideo() const override { return &video_; }
  bool isEncoded() const override { return encoded_; }
  const char* get(const char* key) const override;
  void setBitrate(unsigned bitsPerSecond) override { bitrate_ = bitsPerSecond; }
  void setRTP(bool rtp, int payloadSize) override {
    rtp_ = rtp;
    rtpPayloadSize_ = payloadSize;
  }

  Audio& audio() { return audio_; }
  Video& video() { return video_; }

 private:
  std::string format_;
  unsigned bitrate_ = 0;
  bool encoded_ = false, rtp_ = false;
  int rtpPayloadSize_ = 0;
  std::map<std::string, std::string> properties_;
  Audio audio_;
  Video video_;
};

// Copies every field the interfaces expose from one track to another.
void copyAudio(const AudioDescription& from, AudioDescription& to);
void copyVideo(const VideoDescription& from, VideoDescription& to);

class TranscoderInput : public InputStreamDescription {
 public:
  int getStreamType() const override { return streamType_; }
  const char* getFormat() const override { return stream_.getFormat(); }
  bool hasAudio() const override { return stream_.hasAudio(); }
  bool hasVideo() const override { return stream_.hasVideo(); }
  const AudioDescription* getAudio() const override { return stream_.getAudio(); }
  const VideoDescription* getVideo() const override { return stream_.getVideo(); }
  // Without a source of its own, the stream describes its source.
  const InputStreamDescription* getSourceDescription() const override { return source_ ? source_ : this; }
  OutputStreamDescription* getOutputDescription() const override { return &output_; }

  void setStreamType(int type) { streamType_ = type; }
  void setSource(const InputStreamDescription* source) { source_ = source; }
  StreamDescription& stream() { return stream_; }
  StreamDescription& output() { return output_; }

 private:
  int streamType_ = 0;
  StreamDescription stream_;
  mutable StreamDescription output_;
  const InputStreamDescription* source_ = nullptr;
};

class Requested : public RequestedStreamDescription {
 public:
  bool isPassthroughForbidden() const override { return passthroughForbidden_; }
  const AudioDescription* getAudio() const override { return target_.getAudio(); }
  const VideoDescription* getVideo() const override { return target_.getVideo(); }
  OutputStreamDescription* getTarget() const override;

  void setPassthroughForbidden(bool forbidden) { passthroughForbidden_ = forbidden; }
  StreamDescription& target() { return target_; }

 private:
  bool passthroughForbidden_ = false;
  StreamDescription target_;
};

}  // namespace zan::host
