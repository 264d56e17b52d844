// Text of device log lines: the rewrite of "R" lines (comma-separated hexadecimal numbers shown
// in decimal) and the line-end form the log file stores. Pure functions, no state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orlo {

// True when a device line has the shape of a number report: 'R', one separator (a blank or
// another character that is neither a letter nor a digit), then only upper-case hexadecimal
// digits, commas, blanks and line ends, with at least one digit. Only such a
// line is rewritten; any other line beginning with R ("Reset done", "Ready") is the device's
// own text and is kept as received.
bool IsNumberReport(const uint8_t* line, std::size_t len);

// Rewrites a device line that begins with 'R': bytes [0] and [1] (the letter and the blank
// after it) are not carried over; from byte [2] on, every number ended by a comma is written in
// signed decimal followed by the comma, blanks vanish, CR and LF stay where they are. The
// number is accumulated in wrapping 32-bit arithmetic ('0'..'9' count 0..9, every byte above
// '9' counts its value minus 55, so 'A'..'F' count 10..15), and digits after the last comma
// are dropped. Example: "R 0A,1F,3C,7\r\n" becomes "10,31,60,\r\n".
std::string RewriteRLine(const uint8_t* line, std::size_t len);

// The text as the log file stores it: every LF becomes CR LF, on every platform.
std::string LogFileText(const std::string& text);

}  // namespace orlo
