// The engine records: how a location splits into protocol and extension
// (the input's download decision rests on it), and copies the caller owns.
#include <gtest/gtest.h>

#include <memory>

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

TEST(RecordsTest, TargetIsAFreshCopyOwnedByTheCaller) {
  Requested requested;
  requested.target().setFormat("flv");
  requested.target().audio().setCodec("aac");
  requested.target().set("basePath", "/tmp/x");
  std::unique_ptr<OutputStreamDescription> target(requested.getTarget());
  target->getAudio()->setCodec("libfaac");  // the caller rewrites its copy
  EXPECT_STREQ(requested.getAudio()->getCodec(), "aac");
  EXPECT_STREQ(target->getFormat(), "flv");
  EXPECT_STREQ(target->get("basePath"), "/tmp/x");
  EXPECT_TRUE(target->hasAudio());
  EXPECT_FALSE(target->hasVideo());  // no codec, no track
  target->getAudio()->setCodec("none");
  EXPECT_FALSE(target->hasAudio());
}

}  // namespace
}  // namespace zan::host
