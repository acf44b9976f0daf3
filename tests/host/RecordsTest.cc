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
      {"relative/name.tar.mkv", "", "mkv"},
      {"/dir.with.dots/noextension", "", ""},
  };
  for (const Case& c : cases) {
    Medium medium(c.location);
    EXPECT_STREQ(medium.getLocation(), c.location);
    EXPECT_STREQ(medium.getProtocol(), c.protocol) << c.location;
    EXPECT_STREQ(medium.getExtension(), c.extension) << c.location;
  }
}

TEST(RecordsTest, TargetIsAFreshCopyOwnedByTheCaller) {
  Requested requested;
  requested.target().setFormat("flv");
  requested.target().audio().setCodec("aac");
  requested.target().audio().setSampleRate(44100);
  requested.target().video().setCodec("h264");
  requested.target().video().setFrameRate(25.0);
  requested.target().set("basePath", "/tmp/x");
  std::unique_ptr<OutputStreamDescription> target(requested.getTarget());
  target->getAudio()->setCodec("libfaac");  // the caller rewrites its copy
  EXPECT_STREQ(requested.getAudio()->getCodec(), "aac");
  EXPECT_STREQ(target->getFormat(), "flv");
  EXPECT_EQ(target->getAudio()->getSampleRate(), 44100);
  EXPECT_DOUBLE_EQ(target->getVideo()->getFrameRate(), 25.0);
  EXPECT_STREQ(target->get("basePath"), "/tmp/x");
  EXPECT_TRUE(target->hasAudio());
  EXPECT_TRUE(target->hasVideo());
}

TEST(RecordsTest, TrackPresenceFollowsTheCodecName) {
  StreamDescription stream;
  EXPECT_FALSE(stream.hasAudio());
  stream.audio().setCodec("none");
  EXPECT_FALSE(stream.hasAudio());
  stream.audio().setCodec("raw");
  EXPECT_TRUE(stream.hasAudio());
}

}  // namespace
}  // namespace zan::host
