// zanstream probe: opens a medium with the input plug-in and prints what
// the input says about it (factory -> open -> the three describe calls ->
// close), as text or as one JSON object.
#include <cstdio>

#include "host/cli/Command.h"
#include "host/cli/InputSession.h"
#include "host/cli/Options.h"

namespace zan::host {

const char kProbeUsage[] =
    "usage: zanstream probe LOCATION [--json] [--skip-audio] [--skip-video]\n"
    "                       [--duration MS] [--extension EXT]\n"
    "\n"
    "Opens LOCATION (a file path or an http:// or https:// URL) with the input\n"
    "plug-in and prints the medium (title, author, duration, size, bit rate,\n"
    "seekable, live), the streams as stored in it, and the streams the input\n"
    "will deliver.\n"
    "\n"
    "  --json          print one JSON object:\n"
    "                  {\"location\", \"medium\": {\"title\", \"author\", \"duration_ms\",\n"
    "                  \"size\", \"bitrate\", \"seekable\", \"live\"}, \"input\": {\"format\",\n"
    "                  \"video\", \"audio\"}, \"output\": {\"video\", \"audio\"}}; a stream\n"
    "                  the medium lacks is null\n"
    "  --skip-audio    ask for the audio as stored (compressed), not decoded\n"
    "  --skip-video    ask for the video as stored (compressed), not decoded\n"
    "  --duration MS   the duration the engine knows for the medium\n"
    "  --extension EXT the medium's extension (default: taken from LOCATION)\n"
    "\n"
    "Exit status: 0 on success, 1 when the medium does not open (the input's\n"
    "error is printed as 'error CODE: MESSAGE', with the cause in parentheses\n"
    "when the input knows it) or has no audio or video stream, 2 for a usage\n"
    "error.\n";

int runProbe(PluginLibrary& library, const std::vector<std::string>& arguments) {
  Options options({"duration", "extension"}, {"json", "skip-audio", "skip-video"});
  MediumOptions medium;
  std::string error;
  if (!options.parse(arguments)) return usageError("probe", options.error(), kProbeUsage);
  if (!medium.read(options, error)) return usageError("probe", error, kProbeUsage);

  InputSession session(library);
  if (!session.available()) return inputUnavailable("probe");
  if (!session.open(medium)) return 1;
  Descriptions descriptions;
  session.describe(descriptions);
  if (!hasAudioOrVideo("probe", descriptions)) return 1;

  if (options.has("json")) {
    JsonWriter json;
    writeProbeJson(json, medium.location, descriptions);
    std::printf("%s\n", json.text().c_str());
  } else {
    printProbeText(stdout, medium.location, descriptions);
  }
  return 0;
}

}  // namespace zan::host
