// Reading a written file back; see MediaFacts.h.
#include "host/cli/MediaFacts.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "host/cli/CodecStrings.h"
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
  // The codec names come from the stored configuration or, where a stream
  // carries it in band (H.264 parameter sets, ADTS headers in MPEG-TS), from
  // its first packets.
  bool h264 = false, aac = false;
  if (output.hasVideo()) {
    facts.width = output.getVideo()->getWidth();
    facts.height = output.getVideo()->getHeight();
    facts.frameRate = output.getVideo()->getFrameRate();
    h264 = std::string(output.getVideo()->getCodec()) == "h264";
    const std::vector<uint8_t> config = fromHex(output.getVideo()->getCodecData());
    if (h264) facts.videoCodec = avcCodecString(config.data(), config.size());
  }
  if (output.hasAudio()) {
    const std::string codec = output.getAudio()->getCodec();
    aac = codec == "aac";
    if (codec == "mp3") facts.audioCodec = "mp4a.40.34";
    const std::vector<uint8_t> config = fromHex(output.getAudio()->getCodecData());
    if (aac) facts.audioCodec = aacCodecString(config.data(), config.size());
  }
  uint64_t firstUs = UINT64_MAX, lastUs = 0;
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
    if (type == streamer::PACKET_VIDEO && time != streamer::kNoTime) {
      ++facts.videoFrames;
      firstUs = std::min(firstUs, time);
      lastUs = std::max(lastUs, time);
    }
    if (type == streamer::PACKET_VIDEO && h264 && facts.videoCodec.empty()) facts.videoCodec = avcCodecString(data, size);
    if (type == streamer::PACKET_AUDIO && aac && facts.audioCodec.empty()) facts.audioCodec = aacCodecString(data, size);
    input->freeFrame(data, context);
    if (type == streamer::PACKET_END) break;
  }
  input->stop();
  input->close();
  if (facts.videoFrames >= 2 && lastUs > firstUs)
    facts.pictureRate =
        std::round(static_cast<double>(facts.videoFrames - 1) * 1e6 / static_cast<double>(lastUs - firstUs) * 1000.0) /
        1000.0;
  return facts;
}

}  // namespace zan::host
