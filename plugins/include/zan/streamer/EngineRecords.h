// The engine's records as the plug-in library sees them: abstract
// interfaces that the engine implements and lends to the library for the
// duration of a call (see the host/ folder for this project's own
// implementation).
//
// The operations the library calls come first in each interface, in a fixed
// order; the getters that follow them exist for engines, hosts and tests.
// All strings are narrow, NUL-terminated, UTF-8 and owned by the record; a
// returned pointer stays valid while the record lives and is not modified.
#pragma once

#include <cstdint>

namespace zan::streamer {

// Settings of a stage or properties of a medium: text values by key.
class MapGeneric {
 public:
  virtual ~MapGeneric() {}
  // The value stored under |key|, or null when the key is absent.
  virtual const char* get(const char* key) const = 0;
  virtual void put(const char* key, const char* value) = 0;
};

// Filled by an input when open() fails. A later call replaces an earlier one.
class Error {
 public:
  virtual ~Error() {}
  virtual void setCode(int code) = 0;
  virtual void setMessage(const char* text) = 0;
  virtual int getCode() const = 0;
  virtual const char* getMessage() const = 0;
};

// The medium to open and, once opened, its properties.
class MediumDescription {
 public:
  virtual ~MediumDescription() {}
  virtual const char* getLocation() const = 0;
  virtual uint64_t getDuration() const = 0;  // milliseconds, 0 = unknown
  virtual void setDuration(uint64_t milliseconds) = 0;
  virtual uint64_t getSize() const = 0;  // bytes
  virtual void setSize(uint64_t bytes) = 0;
  virtual void setBitrate(uint64_t bitsPerSecond) = 0;
  virtual void setSeekable(bool seekable) = 0;
  virtual void setLive(bool live) = 0;  // no known duration
  virtual const char* getExtension() const = 0;  // without the dot, e.g. "flv"
  virtual const char* getProtocol() const = 0;   // scheme prefix, e.g. "http://"
  virtual void setTitle(const char* title) = 0;
  virtual void setAuthor(const char* author) = 0;
  virtual const MapGeneric* getProperties() const = 0;

  virtual uint64_t getBitrate() const = 0;
  virtual bool isSeekable() const = 0;
  virtual bool isLive() const = 0;
  virtual const char* getTitle() const = 0;
  virtual const char* getAuthor() const = 0;
  // Descriptive metadata the encoder copies into its output; empty texts
  // and zero numbers mean "not known".
  virtual const char* getAlbum() const = 0;
  virtual const char* getGenre() const = 0;
  virtual int getTrack() const = 0;
  virtual int getYear() const = 0;
};

// Operations shared by the audio and the video track description.
class TrackDescription {
 public:
  virtual ~TrackDescription() {}
  virtual unsigned getBitrate() const = 0;
  virtual void setBitrate(unsigned bitsPerSecond) = 0;
  // Audio: bits of one sample frame (bits per sample x channels).
  // Video: bytes of one picture.
  virtual void setFrameSize(unsigned frameSize) = 0;
  // The decoding core sets true on decoded video and false on decoded audio.
  virtual void setFlag(bool flag) = 0;
  virtual void setOption(int option) = 0;
  // A codec name of the engine's vocabulary; "raw" for decoded data.
  virtual const char* getCodec() const = 0;
  virtual void setCodec(const char* name) = 0;
  // The codec's configuration bytes as lowercase hexadecimal text.
  virtual void setCodecData(const char* hex) = 0;

  virtual unsigned getFrameSize() const = 0;
  virtual bool getFlag() const = 0;
  virtual int getOption() const = 0;
  virtual const char* getCodecData() const = 0;
};

class AudioDescription : public TrackDescription {
 public:
  virtual void setLayout(int layout) = 0;
  virtual void setBitsPerSample(int bits) = 0;  // 8, 16 or 32
  virtual int getSampleRate() const = 0;
  virtual void setSampleRate(int hertz) = 0;
  virtual int getChannels() const = 0;
  virtual void setChannels(int channels) = 0;
  virtual void setSampleFlags(int flags) = 0;

  virtual int getLayout() const = 0;
  virtual int getBitsPerSample() const = 0;
  virtual int getSampleFlags() const = 0;
};

class VideoDescription : public TrackDescription {
 public:
  virtual int getWidth() const = 0;
  virtual void setWidth(int width) = 0;
  virtual int getHeight() const = 0;
  virtual void setHeight(int height) = 0;
  virtual int getLayout() const = 0;
  virtual void setLayout(int layout) = 0;
  virtual double getFrameRate() const = 0;
  virtual void setFrameRate(double framesPerSecond) = 0;
  // The engine's pixel-format code (5 = packed YUV 4:2:2).
  virtual int getPixelFormat() const = 0;
  virtual void setPixelFormat(int code) = 0;
};

// A description of a stream: what a plug-in delivers or what the engine
// wants.
class OutputStreamDescription {
 public:
  virtual ~OutputStreamDescription() {}
  virtual const char* getFormat() const = 0;
  virtual unsigned getBitrate() const = 0;
  virtual bool hasAudio() const = 0;
  virtual bool hasVideo() const = 0;
  virtual void set(const char* key, const char* value) = 0;
  virtual void setEncoded(bool encoded) = 0;
  virtual void setFormat(const char* name) = 0;
  virtual bool isRTP() const = 0;
  virtual int getRTPPayloadSize() const = 0;
  virtual AudioDescription* getAudio() = 0;
  virtual VideoDescription* getVideo() = 0;
  virtual void copyTo(OutputStreamDescription* target) const = 0;

  virtual const AudioDescription* getAudio() const = 0;
  virtual const VideoDescription* getVideo() const = 0;
  virtual bool isEncoded() const = 0;
  virtual const char* get(const char* key) const = 0;
  virtual void setBitrate(unsigned bitsPerSecond) = 0;
  virtual void setRTP(bool rtp, int payloadSize) = 0;
};

// The stream a transcoder stage receives through write().
class InputStreamDescription {
 public:
  virtual ~InputStreamDescription() {}
  // The transcoder demuxer accepts only type 1 (a multiplexed byte stream
  // arriving as packets).
  virtual int getStreamType() const = 0;
  virtual const char* getFormat() const = 0;
  virtual bool hasAudio() const = 0;
  virtual bool hasVideo() const = 0;
  virtual const AudioDescription* getAudio() const = 0;
  virtual const VideoDescription* getVideo() const = 0;
  // The source medium's stream; the same accessors as this record.
  virtual const InputStreamDescription* getSourceDescription() const = 0;
  // A description the audio resampler fills and hands on as its output.
  virtual OutputStreamDescription* getOutputDescription() const = 0;
};

// What the engine wants a stage to produce.
class RequestedStreamDescription {
 public:
  virtual ~RequestedStreamDescription() {}
  // True when compressed input must not be copied through unchanged.
  virtual bool isPassthroughForbidden() const = 0;
  virtual const AudioDescription* getAudio() const = 0;
  virtual const VideoDescription* getVideo() const = 0;
  // A new copy of the requested output, owned by the caller (the streaming
  // profile rewrites it in place and deletes it).
  virtual OutputStreamDescription* getTarget() const = 0;
};

}  // namespace zan::streamer
