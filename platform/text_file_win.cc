// The Windows twin of text_file.cc: a file opened by the C library is not
// inherited by a program started without handle inheritance, so the mode
// needs nothing more.
#include "platform/text_file.h"

namespace platform {

std::FILE* open_text_file(const char* path, bool append) {
  return std::fopen(path, append ? "a" : "w+");
}

}  // namespace platform
