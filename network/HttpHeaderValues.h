// The values of HTTP response headers the network input acts on, parsed
// from the server's text: lengths ("Content-Length"), the range a partial
// answer carries ("Content-Range"), and the stream duration the Zan
// streaming server announces ("Zan-Stream-Duration"). Every parser takes
// arbitrary bytes from the network and refuses what is not of the exact
// form, instead of guessing.
#pragma once

#include <cstdint>
#include <string>

namespace zan {

// |text| with ASCII letters in lower case: header names compare without
// case.
std::string asciiLowerCase(std::string text);

// A non-negative decimal number filling the whole text (blanks around it
// allowed), or a comma-separated list of the same number (a header sent
// twice with one value); -1 for anything else, including numbers beyond
// int64_t and lists of different numbers.
int64_t parseHeaderLength(const std::string& text);

// "bytes FIRST-LAST/TOTAL" (TOTAL may be "*", the unit in any case), blanks
// allowed before "bytes": FIRST and TOTAL (-1 for "*"); false when the text is not of that
// form or the range is impossible (LAST < FIRST, TOTAL <= LAST).
bool parseContentRange(const std::string& text, int64_t& first, int64_t& total);

// "Zan-Stream-Duration": a length in milliseconds that fits the duration's
// type; false (no duration at all) for a sign, a fraction, text or an
// overflow, which would otherwise wrap into a bogus duration.
bool parseStreamDuration(const std::string& text, unsigned& milliseconds);

}  // namespace zan
