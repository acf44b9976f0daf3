#include "network/HttpHeaderValues.h"

#include <limits>

namespace zan {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Reads the digits at |at| into |value|; false when there is none or the
// number overflows int64_t.
bool readNumber(const std::string& text, size_t& at, int64_t& value) {
  if (at >= text.size() || !isDigit(text[at])) return false;
  value = 0;
  for (; at < text.size() && isDigit(text[at]); ++at) {
    const int digit = text[at] - '0';
    if (value > (std::numeric_limits<int64_t>::max() - digit) / 10) return false;
    value = value * 10 + digit;
  }
  return true;
}

// One number filling the whole text, blanks around it allowed; -1 else.
int64_t parseNumber(const std::string& text) {
  size_t at = 0;
  while (at < text.size() && isBlank(text[at])) ++at;
  int64_t value = 0;
  if (!readNumber(text, at, value)) return -1;
  while (at < text.size() && isBlank(text[at])) ++at;
  return at == text.size() ? value : -1;
}

}  // namespace

std::string asciiLowerCase(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

int64_t parseHeaderLength(const std::string& text) {
  int64_t result = -1;
  size_t from = 0;
  for (;;) {
    const size_t comma = text.find(',', from);
    const int64_t value = parseNumber(text.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
    if (value < 0 || (result >= 0 && value != result)) return -1;
    result = value;
    if (comma == std::string::npos) return result;
    from = comma + 1;
  }
}

bool parseContentRange(const std::string& text, int64_t& first, int64_t& total) {
  size_t at = 0;
  while (at < text.size() && isBlank(text[at])) ++at;
  if (asciiLowerCase(text.substr(at, 6)) != "bytes ") return false;
  at += 6;
  while (at < text.size() && isBlank(text[at])) ++at;
  int64_t a = 0, b = 0;
  if (!readNumber(text, at, a) || at >= text.size() || text[at++] != '-') return false;
  if (!readNumber(text, at, b) || at >= text.size() || text[at++] != '/') return false;
  if (b < a) return false;
  const std::string rest = text.substr(at);
  int64_t whole = -1;
  if (rest != "*") {
    whole = parseNumber(rest);
    if (whole < 0 || whole <= b) return false;
  }
  first = a;
  total = whole;
  return true;
}

bool parseStreamDuration(const std::string& text, unsigned& milliseconds) {
  const int64_t value = parseHeaderLength(text);
  if (value < 0 || value > std::numeric_limits<unsigned>::max()) return false;
  milliseconds = static_cast<unsigned>(value);
  return true;
}

}  // namespace zan
