// The response header values the network input acts on, parsed from
// arbitrary text and checked against what the text says when read by hand:
// a length is all digits (blanks around them), or the same such number
// repeated with commas between, and a range is only accepted when printing
// it back gives the same text.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "network/HttpHeaderValues.h"

namespace {

std::string trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool allDigits(const std::string& text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

std::string withoutLeadingZeros(const std::string& digits) {
  const size_t start = digits.find_first_not_of('0');
  return start == std::string::npos ? "0" : digits.substr(start);
}

// Whether decimal |digits| stand for |value|.
bool sameNumber(const std::string& digits, uint64_t value) {
  return withoutLeadingZeros(digits) == std::to_string(value);
}

// Whether decimal |digits| stand for a number above |limit|.
bool above(const std::string& digits, uint64_t limit) {
  const std::string number = withoutLeadingZeros(digits), bound = std::to_string(limit);
  return number.size() != bound.size() ? number.size() > bound.size() : number > bound;
}

// The comma-separated parts of |text|, each trimmed.
std::vector<std::string> parts(const std::string& text) {
  std::vector<std::string> result;
  size_t from = 0;
  for (size_t comma; (comma = text.find(',', from)) != std::string::npos; from = comma + 1)
    result.push_back(trimmed(text.substr(from, comma - from)));
  result.push_back(trimmed(text.substr(from)));
  return result;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  const int64_t length = zan::parseHeaderLength(text);
  const std::vector<std::string> numbers = parts(text);
  const std::string& number = numbers.front();
  bool oneNumber = true;
  for (const std::string& part : numbers)
    oneNumber = oneNumber && allDigits(part) && withoutLeadingZeros(part) == withoutLeadingZeros(number);
  if (length >= 0) FUZZ_CHECK(oneNumber && sameNumber(number, length));
  else FUZZ_CHECK(!oneNumber || above(number, INT64_MAX));  // refused only when too large

  int64_t first = -7, total = -7;
  if (zan::parseContentRange(text, first, total)) {
    const std::string range = trimmed(text);
    std::string unit = range.substr(0, 6);
    for (char& c : unit) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    FUZZ_CHECK(unit == "bytes " && first >= 0 && (total == -1 || total > first));
    const size_t dash = range.find('-'), slash = range.find('/');
    FUZZ_CHECK(dash != std::string::npos && slash != std::string::npos && dash < slash);
    const std::string a = trimmed(range.substr(6, dash - 6)), b = range.substr(dash + 1, slash - dash - 1);
    FUZZ_CHECK(allDigits(a) && sameNumber(a, first) && allDigits(b));
    const std::string whole = range.substr(slash + 1);
    FUZZ_CHECK(total == -1 ? whole == "*" : allDigits(trimmed(whole)) && sameNumber(trimmed(whole), total));
  } else {
    FUZZ_CHECK(first == -7 && total == -7);  // untouched when refused
  }

  // The stream duration: a length that fits 32 bits, or none.
  unsigned duration = 7;
  if (zan::parseStreamDuration(text, duration)) FUZZ_CHECK(length >= 0 && length == duration);
  else FUZZ_CHECK(duration == 7 && (length < 0 || above(number, UINT32_MAX)));
  return 0;
}
