// Turns the byte stream a lobby sends its upstream server back into text,
// one line per message: "2I port=30009 zero=0 ip=192.168.0.10",
// "2N user=7", "2F user=7". Bytes that cannot start one of these messages
// are shown as "?? " and their hex values. Used by the upstream_listen tool
// and by tests that play the upstream server.
#ifndef UPSTREAM_UPSTREAM_DECODER_H_
#define UPSTREAM_UPSTREAM_DECODER_H_

#include <cstdint>
#include <string>
#include <vector>

namespace upstream {

// At most this many unknown bytes go on one "??" line.
constexpr int kJunkBytesPerLine = 16;

class UpstreamDecoder {
 public:
  // Takes the next bytes of the stream (split anywhere) and appends a line
  // for each message they complete. A message cut at the end of `bytes` is
  // kept until the rest arrives.
  void feed(const uint8_t* bytes, int length, std::vector<std::string>* lines);
  // The stream ended: reports what is left of an incomplete message.
  void finish(std::vector<std::string>* lines);
  // Bytes held back while waiting for the rest of a message.
  int held() const { return static_cast<int>(held_.size()); }

 private:
  std::vector<uint8_t> held_;
};

}  // namespace upstream

#endif  // UPSTREAM_UPSTREAM_DECODER_H_
