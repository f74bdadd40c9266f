// In-place removal of a trailing line end.
#include "util/text.h"

#include <cstring>

namespace pellfold {

void TrimLineEnd(char* text) {
  char* cursor = text + std::strlen(text);
  // Step back only while the cursor is past text[0], so text[0] is the last
  // byte looked at.
  while (cursor != text) {
    --cursor;
    if (*cursor != '\r' && *cursor != '\n') return;
    *cursor = '\0';
  }
}

}  // namespace pellfold
