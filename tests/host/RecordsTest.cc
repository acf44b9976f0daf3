// How a location splits into protocol and extension: the input's download
// decision rests on it.
#include <gtest/gtest.h>

#include "host/records/Records.h"

namespace zan::host {
namespace {

TEST(RecordsTest, MediumSplitsProtocolAndExtension) {
  struct Case {
    const char* location;
    const char* protocol;
    const char* extension;
  } cases[] = {
      {"/media/clip.flv", "", "flv"},
      {"http://host:8080/dir/clip.MP3?token=a.b#frag", "http://", "MP3"},
      {"https://host/path.d/file", "https://", ""},
      {"/dir.with.dots/noextension", "", ""},
  };
  for (const Case& c : cases) {
    Medium medium(c.location);
    EXPECT_STREQ(medium.getProtocol(), c.protocol) << c.location;
    EXPECT_STREQ(medium.getExtension(), c.extension) << c.location;
  }
}

}  // namespace
}  // namespace zan::host
