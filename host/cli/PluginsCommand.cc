// zanstream plugins: asks both factories for every name the library may
// answer and prints "NAME yes" or "NAME no" per name.
#include <cstdio>
#include <memory>

#include "host/cli/Command.h"
#include "host/cli/Options.h"

namespace zan::host {

const char kPluginsUsage[] =
    "usage: zanstream plugins [--library PATH]\n"
    "\n"
    "Asks the plug-in library's factories for the input plug-in and for each\n"
    "transcoder stage and prints one line per name: 'NAME yes' when the\n"
    "library answers it, 'NAME no' otherwise.\n";

int runPlugins(PluginLibrary& library, const std::vector<std::string>& arguments) {
  Options options({}, {});
  if (!options.parse(arguments) || !options.positional().empty()) {
    std::fprintf(stderr, "zanstream plugins: %s\n%s",
                 options.error().empty() ? "takes no arguments" : options.error().c_str(), kPluginsUsage);
    return 2;
  }
  {
    std::unique_ptr<streamer::InputPluginInterface> input(library.inputFactory()());
    std::printf("FFMpegInput %s\n", input ? "yes" : "no");
  }
  for (const char* name : {"FFMpegDecoder", "FFMpegDemuxer", "FFMpegEncoder", "FFMpegAudioResampler"}) {
    std::unique_ptr<streamer::TranscoderPluginInterface> stage(library.transcoderFactory()(name));
    std::printf("%s %s\n", name, stage ? "yes" : "no");
  }
  return 0;
}

}  // namespace zan::host
