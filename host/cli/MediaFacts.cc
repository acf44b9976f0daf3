// Reading a written file back; see MediaFacts.h.
#include "host/cli/MediaFacts.h"

#include <memory>

#include "host/cli/InputSession.h"

namespace zan::host {


MediaFacts readMediaFacts(PluginLibrary& library, const std::string& path) {
  MediaFacts facts;
  std::unique_ptr<streamer::InputPluginInterface> input(library.inputFactory()());
  if (!input) return facts;
  input->skipAudioDecoding();
  input->skipVideoDecoding();
  MediumOptions options;
  options.location = path;
  const std::unique_ptr<Medium> medium = options.medium();
  ErrorRecord error;
  if (!input->open(medium.get(), &error)) {
    input->close();
    return facts;
  }
  facts.opened = true;
  StreamDescription output;
  input->getOutputStreamDescription(&output);
  if (output.hasVideo()) {
    facts.width = output.getVideo()->getWidth();
    facts.height = output.getVideo()->getHeight();
  }
  input->start();
  for (;;) {
    streamer::PACKETTYPE type = streamer::PACKET_END;
    uint8_t* data = nullptr;
    unsigned size = 0;
    uint64_t time = streamer::kNoTime, duration = streamer::kNoTime;
    void* context = nullptr;
    bool keyFrame = false;
    if (!input->readFrame(type, data, size, time, duration, context, keyFrame)) break;
    if (type == streamer::PACKET_AUDIO && time != streamer::kNoTime) ++facts.audioFrames;
    if (type == streamer::PACKET_VIDEO && time != streamer::kNoTime) ++facts.videoFrames;
    input->freeFrame(data, context);
    if (type == streamer::PACKET_END) break;
  }
  input->stop();
  input->close();
  return facts;
}

}  // namespace zan::host
