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
