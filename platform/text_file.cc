#include "platform/text_file.h"

namespace platform {

// "e": close-on-exec, set as the file opens.
std::FILE* open_text_file(const char* path, bool append) {
  return std::fopen(path, append ? "ae" : "w+e");
}

}  // namespace platform
