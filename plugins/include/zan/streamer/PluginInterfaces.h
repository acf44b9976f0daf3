// The plug-in interfaces of the engine contract and the two exported
// factories. The engine loads the library, resolves InputPluginFactory and
// TranscoderPluginFactory by name, and owns (deletes) every object they
// return. Nothing throws across this boundary: results are bools, codes and
// nulls.
//
// Virtual operations are declared in the order of their slots; do not
// reorder them.
#pragma once

#include <cstdint>

#include "zan/streamer/EngineRecords.h"
#include "zan/streamer/SamplePacket.h"
#include "zan/streamer/Types.h"

namespace zan::streamer {

// The producing side of every plug-in.
class InputStream {
 public:
  virtual ~InputStream() {}
  virtual void getOutputStreamDescription(OutputStreamDescription* description) = 0;
  // Produces the next frame; false when none is available now. On true the
  // frame must be handed back through freeFrame(data, frameContext) once.
  virtual bool readFrame(PACKETTYPE& type, uint8_t*& data, unsigned& size, uint64_t& time,
                         uint64_t& duration, void*& frameContext, bool& keyFrame) = 0;
  virtual void freeFrame(uint8_t* data, void* frameContext) = 0;
};

// The consuming side of a transcoder stage.
class OutputStream {
 public:
  virtual ~OutputStream() {}
  // Takes over one reference of |packet|.
  virtual void write(SamplePacket* packet) = 0;
  // The upstream was repositioned (milliseconds).
  virtual void resetPosition(uint64_t position) = 0;
};

class TranscoderPluginInterface : public InputStream, public OutputStream {
 public:
  virtual PluginErrorCodes init(const MediumDescription* medium, const InputStreamDescription* input,
                                const RequestedStreamDescription* requested,
                                const MapGeneric* settings) = 0;
  virtual bool close() = 0;
  virtual bool start() = 0;
  virtual bool stop() = 0;
};

typedef void (*InputEventCallback)(InputEvent::InputEvent event, int argument1, int argument2,
                                   void* userData);

class InputPluginInterface : public InputStream {
 public:
  virtual bool open(const MediumDescription* medium, Error* error) = 0;
  virtual bool updateMedium(const MediumDescription* medium, Error* error) = 0;
  virtual bool close() = 0;
  virtual bool start() = 0;
  virtual bool stop() = 0;
  virtual bool pause() = 0;
  virtual bool resume() = 0;
  virtual PluginErrorCodes getPosition(uint64_t& position) = 0;  // milliseconds
  virtual PluginErrorCodes setTimePosition(uint64_t position) = 0;
  virtual PluginErrorCodes setBytePosition(uint64_t position) = 0;
  virtual PluginErrorCodes resetPosition(uint64_t position) = 0;
  virtual bool isSingleInstance() = 0;
  virtual void getMediumDescription(MediumDescription* medium) = 0;
  // The streams as stored in the medium (compressed).
  virtual void getInputStreamDescription(OutputStreamDescription* description) = 0;
  virtual bool skipAudioDecoding() = 0;
  virtual bool skipVideoDecoding() = 0;
  virtual bool setVideoDecodingMode(DecodingMode::DecodingMode mode) = 0;
  virtual bool getInputBufferStatus(unsigned& readPosition, unsigned& historyStart,
                                    unsigned& bufferedEnd, unsigned& contentLength) = 0;
  virtual void setInputEventCallback(InputEventCallback callback, void* userData) = 0;
};

}  // namespace zan::streamer

// The two exported entry points, resolved by name with dlsym.
extern "C" {
typedef zan::streamer::InputPluginInterface* (*InputPluginFactoryFn)();
typedef zan::streamer::TranscoderPluginInterface* (*TranscoderPluginFactoryFn)(const char* name);
}
