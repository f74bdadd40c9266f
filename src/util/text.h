// Text utilities for NUL-terminated narrow (byte) strings.
#pragma once

namespace pellfold {

// Removes the line end from text in place: every CR (0x0D) and LF (0x0A) in
// the trailing run is overwritten with NUL, so all bytes between the new end
// and the old terminator are zero. Any other byte (space, tab, 0x80 and up)
// stops the trim; line ends inside the string stay. Nothing before text[0] is
// read. text must be a writable NUL-terminated string.
void TrimLineEnd(char* text);

}  // namespace pellfold
