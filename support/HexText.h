// Configuration bytes as the engine's records carry them: lowercase
// hexadecimal text, two digits a byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zan {

std::string toHex(const uint8_t* data, size_t size);
// The bytes of |text| (null: none); stops at the first pair that is not hex.
std::vector<uint8_t> fromHex(const char* text);

}  // namespace zan
