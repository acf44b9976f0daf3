// Types that cross the boundary between the streaming engine and the
// plug-in library: frame kinds, result codes, input events, decoding modes
// and the time conventions.
//
// Everything here is a plain 32-bit enumeration or a constant so that the
// engine and the library agree on layout without sharing any C++ runtime
// object.
#pragma once

#include <cstdint>

namespace zan::streamer {

// Sample times and durations on the boundary are unsigned microseconds;
// this value (FFmpeg's "no time stamp") means the time is unknown.
inline constexpr uint64_t kNoTime = 0x8000000000000000ULL;

enum PACKETTYPE : int32_t {
  PACKET_AUDIO = 0,    // audio data (compressed or raw PCM)
  PACKET_VIDEO = 1,    // video data, one raw picture, or a codec header
  PACKET_END = 2,      // end of stream; no data. New packets have this type.
  PACKET_MUXED = 3,    // muxed container bytes produced by the encoder
  PACKET_SEGMENT = 4,  // a finished segment file; data is its UTF-16 path
};

enum PluginErrorCodes : int32_t {
  PLUGIN_OK = 0,
  PLUGIN_UNAVAILABLE = 2,  // wrong state, unsupported, or unusable input
  PLUGIN_FAILED = -1,      // attempted and failed
};

// Written InputEvent::INPUT_END_OF_FILE by callers.
namespace InputEvent {
enum InputEvent : int32_t {
  INPUT_END_OF_FILE = 0,    // the whole network resource has arrived
  INPUT_BROKEN_STREAM = 1,  // the download broke off
};
}  // namespace InputEvent

// Written DecodingMode::DECODE_ALL by callers.
namespace DecodingMode {
enum DecodingMode : int32_t {
  DECODE_ALL = 0,         // every video frame is decoded
  DECODE_KEY_FRAMES = 1,  // only key frames (FFmpeg AVDISCARD_NONKEY)
  DECODE_NONE = 2,        // no video frame (FFmpeg AVDISCARD_ALL)
};
}  // namespace DecodingMode

}  // namespace zan::streamer

namespace zan {
// Events of the HTTP client; the input plug-in translates them into
// InputEvent values for the engine.
namespace ConnectionEvent {
enum ConnectionEvent : int32_t {
  END_OF_FILE_RECEIVED = 0,
  BROKEN_STREAM = 1,
};
}  // namespace ConnectionEvent
}  // namespace zan
