#include "host/cli/StageRun.h"

#include <cstdio>

namespace zan::host {

void StageCloser::operator()(streamer::TranscoderPluginInterface* stage) const {
  stage->close();
  delete stage;
}

StagePtr makeStage(PluginLibrary& library, const char* name, const char* command) {
  StagePtr stage(library.transcoderFactory()(name));
  if (!stage) std::fprintf(stderr, "zanstream %s: the plug-in library answers no %s stage\n", command, name);
  return stage;
}

void readStageFrames(streamer::TranscoderPluginInterface& stage, FrameSummary& summary, bool frameLines) {
  for (;;) {
    streamer::PACKETTYPE type = streamer::PACKET_END;
    uint8_t* data = nullptr;
    unsigned size = 0;
    uint64_t time = streamer::kNoTime, duration = streamer::kNoTime;
    void* frameContext = nullptr;
    bool keyFrame = false;
    if (!stage.readFrame(type, data, size, time, duration, frameContext, keyFrame)) break;
    stage.freeFrame(data, frameContext);
    if (type == streamer::PACKET_END) break;
    summary.add(type, time, size, keyFrame);
    if (frameLines) std::printf("%s\n", frameLine(type, time, duration, size, keyFrame).c_str());
  }
}

void printRunSummary(bool json, const char* verb, const std::string& location, const std::string& detail,
                     const FrameSummary& summary, long long elapsedMs) {
  if (json) {
    JsonWriter writer;
    writer.beginObject();
    writer.key("location").value(location);
    summary.writeJson(writer);
    writer.key("elapsed_ms").value(elapsedMs);
    writer.endObject();
    std::printf("%s\n", writer.text().c_str());
    return;
  }
  std::printf("%-9s %s%s%s\n", verb, location.c_str(), detail.empty() ? "" : " ", detail.c_str());
  summary.printText(stdout, "  ");
  std::printf("  elapsed %lld ms\n", elapsedMs);
}

}  // namespace zan::host
