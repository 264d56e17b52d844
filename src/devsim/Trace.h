// One line of the wire trace: direction, the bytes in hex, and for text lines their text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "devsim/PtyDevice.h"

namespace orlo::devsim {

// "in  04 00 07 10 C2 63 03" for a frame the device received, "out ..." for a unit it sent. A
// unit longer than `maxBytes` (0: no limit) shows its first maxBytes - 8 bytes, "..", its last 8
// bytes and its length, as in "out 04 10 0B 1A 00 3C 30 00 .. FF FF FF FF FF 12 34 03 (4107
// bytes)". A unit that does not begin with the frame start byte is a text line and is followed by
// its text in quotes, CR and LF written as \r and \n, other control bytes as \xNN.
std::string FormatTrace(Direction dir, const std::vector<uint8_t>& bytes, std::size_t maxBytes);

}  // namespace orlo::devsim
