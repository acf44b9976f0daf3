// The frame summary, the frame line format and the JSON writer that the
// zanstream commands print through.
#include "host/cli/FrameSummary.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using zan::host::FrameSummary;
using zan::host::JsonWriter;
using zan::host::jsonString;
using zan::streamer::kNoTime;
using zan::streamer::PACKET_AUDIO;
using zan::streamer::PACKET_END;
using zan::streamer::PACKET_VIDEO;

TEST(JsonStringTest, EscapesWhatJsonRequiresAndRepairsBrokenUtf8) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"", "\"\""},
      {"say \"hi\"", "\"say \\\"hi\\\"\""},
      {"back\\slash", "\"back\\\\slash\""},
      {"a\nb\tc\rd\be\ff", "\"a\\nb\\tc\\rd\\be\\ff\""},
      {std::string("nul\0x", 5), "\"nul\\u0000x\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xac", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x8e\xac\""},  // valid UTF-8 kept
      {"\x80", "\"\\ufffd\""},                       // stray continuation byte
      {"\xc3", "\"\\ufffd\""},                       // cut short at the end
      {"\xc3(", "\"\\ufffd(\""},                     // cut short by ASCII
      {"\xc0\xaf", "\"\\ufffd\\ufffd\""},            // overlong '/'
      {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},  // UTF-16 surrogate
      {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},  // beyond U+10FFFF
  };
  for (const Case& c : cases) EXPECT_EQ(jsonString(c.in), c.out) << "input of " << c.in.size() << " bytes";
}

// Commas and nesting are checked by Qt's strict parser in every command-line test.
TEST(JsonWriterTest, DoublesReadBackExactlyAndNonFiniteBecomeNull) {
  struct Case {
    double in;
    const char* out;
  };
  const Case cases[] = {
      {25.0, "25"},
      {30000.0 / 1001.0, "29.97002997002997"},
      {-1.0 / 0.0, "null"},
      {__builtin_nan(""), "null"},
  };
  for (const Case& c : cases) {
    JsonWriter json;
    json.beginArray().value(c.in).endArray();
    EXPECT_EQ(json.text(), std::string("[") + c.out + "]");
  }
}

// Times are unsigned: the largest one other than the no-time marker prints whole.
TEST(FrameLineTest, PrintsMissingAndLargestTimes) {
  EXPECT_EQ(zan::host::frameLine(PACKET_AUDIO, kNoTime, kNoTime, 0, false), "audio nopts nopts 0 0");
  EXPECT_EQ(zan::host::frameLine(PACKET_VIDEO, 0xFFFFFFFFFFFFFFFFULL, 0x7FFFFFFFFFFFFFFFULL, 1, true),
            "video 18446744073709551615 9223372036854775807 1 1");
}

// An absent stream is null, a silent one has no times, missing times are
// skipped and end markers counted apart.
TEST(FrameSummaryTest, CountsPerStreamAndSkipsMissingTimes) {
  FrameSummary summary(true, true), silent(false, true);
  summary.add(PACKET_VIDEO, kNoTime, 10, true);
  summary.add(PACKET_VIDEO, 40000, 20, false);
  summary.add(PACKET_AUDIO, 0, 4, false);
  summary.add(PACKET_VIDEO, 80000, 30, true);
  summary.add(PACKET_VIDEO, kNoTime, 5, false);
  summary.add(PACKET_END, 0, 0, false);
  EXPECT_EQ(summary.totalFrames(), 6u);
  JsonWriter json;
  json.beginArray().beginObject();
  summary.writeJson(json);
  json.endObject().beginObject();
  silent.writeJson(json);
  json.endObject().endArray();
  EXPECT_EQ(json.text(),
            "[{\"audio\":{\"frames\":1,\"first_us\":0,\"last_us\":0,\"bytes\":4,\"key_frames\":0},"
            "\"video\":{\"frames\":4,\"first_us\":40000,\"last_us\":80000,\"bytes\":65,\"key_frames\":2},"
            "\"other_frames\":1},"
            "{\"audio\":null,"
            "\"video\":{\"frames\":0,\"first_us\":null,\"last_us\":null,\"bytes\":0,\"key_frames\":0}}]");
}

}  // namespace
