#include "upstream/upstream_decoder.h"

#include <cstdio>

#include "wire/message_table.h"
#include "wire/protocol.h"

namespace upstream {
namespace {

std::string describe(const uint8_t* m) {
  char text[96];
  if (m[1] == wire::kUpRegistration) {
    std::snprintf(text, sizeof text, "2I port=%d zero=%d ip=%u.%u.%u.%u", wire::get_i32(m + 2),
                  wire::get_i32(m + 6), m[10], m[11], m[12], m[13]);
  } else {
    std::snprintf(text, sizeof text, "2%c user=%d", static_cast<char>(m[1]), wire::get_i32(m + 2));
  }
  return text;
}

// Reports unknown bytes, at most kJunkBytesPerLine to a line.
void report_junk(const std::vector<uint8_t>& junk, std::vector<std::string>* lines) {
  for (size_t start = 0; start < junk.size(); start += kJunkBytesPerLine) {
    std::string line = "??";
    for (size_t i = start; i < junk.size() && i < start + kJunkBytesPerLine; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02x", junk[i]);
      line += hex;
    }
    lines->push_back(line);
  }
}

}  // namespace

void UpstreamDecoder::feed(const uint8_t* bytes, int length, std::vector<std::string>* lines) {
  held_.insert(held_.end(), bytes, bytes + length);
  std::vector<uint8_t> junk;
  size_t pos = 0;
  const size_t size = held_.size();
  while (pos < size) {
    if (held_[pos] != wire::kMsgMark) {
      junk.push_back(held_[pos++]);
      continue;
    }
    const int need =
        wire::message_length(wire::Direction::kLobbyToUpstream, held_.data() + pos, size - pos);
    if (need == wire::kLengthPending) break;  // the letter has not arrived yet
    if (need == wire::kLengthUnknown) {
      // Skip only the mark: the next byte may itself start a message.
      junk.push_back(held_[pos++]);
      continue;
    }
    if (pos + static_cast<size_t>(need) > size) break;  // the rest is on its way
    report_junk(junk, lines);
    junk.clear();
    lines->push_back(describe(held_.data() + pos));
    pos += static_cast<size_t>(need);
  }
  report_junk(junk, lines);
  held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(pos));
}

void UpstreamDecoder::finish(std::vector<std::string>* lines) {
  report_junk(held_, lines);
  held_.clear();
}

}  // namespace upstream
