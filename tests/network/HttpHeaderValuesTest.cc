// Length, duration and range header values as servers send them, well-formed
// and hostile: numbers beyond 64 or 32 bits, signs, junk, impossible ranges.
#include <gtest/gtest.h>

#include "network/HttpHeaderValues.h"

namespace zan {
namespace {

TEST(HttpHeaderValuesTest, LengthsAndRanges) {
  const struct {
    const char* text;
    int64_t length;        // parseHeaderLength
    int64_t duration;      // parseStreamDuration; -1: refused
    bool range;            // parseContentRange accepts
    int64_t first, total;  // when accepted
  } rows[] = {
      {" 4096\t", 4096, 4096, false, 0, 0},
      {"4294967295", 4294967295, 4294967295, false, 0, 0},
      {"4294967296", 4294967296, -1, false, 0, 0},
      {"9223372036854775807", INT64_MAX, -1, false, 0, 0},
      {"9223372036854775808", -1, -1, false, 0, 0},
      {"-5", -1, -1, false, 0, 0},
      {"+5", -1, -1, false, 0, 0},
      {"12abc", -1, -1, false, 0, 0},
      {"", -1, -1, false, 0, 0},
      {"4096, 4096", 4096, 4096, false, 0, 0},  // a header sent twice
      {"4096, 4097", -1, -1, false, 0, 0},
      {"4096,", -1, -1, false, 0, 0},
      {"bytes 100-199/1000", -1, -1, true, 100, 1000},
      {" bytes 0-0/*", -1, -1, true, 0, -1},
      {"Bytes 5-9/10", -1, -1, true, 5, 10},
      {"bytes 200-100/1000", -1, -1, false, 0, 0},
      {"bytes 0-999/1000x", -1, -1, false, 0, 0},
      {"bytes 0-999/999", -1, -1, false, 0, 0},
      {"bytes -5-10/100", -1, -1, false, 0, 0},
      {"bytes 0-99999999999999999999/100000000000000000000", -1, -1, false, 0, 0},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(parseHeaderLength(row.text), row.length);
    unsigned duration = 7;
    EXPECT_EQ(parseStreamDuration(row.text, duration) ? int64_t{duration} : -1, row.duration);
    int64_t first = -7, total = -7;
    EXPECT_EQ(parseContentRange(row.text, first, total), row.range);
    EXPECT_EQ(first, row.range ? row.first : -7);
    EXPECT_EQ(total, row.range ? row.total : -7);
  }
}

}  // namespace
}  // namespace zan
