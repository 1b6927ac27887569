// The game client's side of the wire: encoders for what a client sends the
// lobby, and a decoder that cuts what the lobby sends back into messages and
// formats each as one line of text ("2R room=1 members=2 title=bob").
#ifndef CLIENT_WIRE_CODEC_H_
#define CLIENT_WIRE_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace client {

// At most this many unknown bytes go on one "??" line.
constexpr int kJunkBytesPerLine = 16;
// The longest name or title field; longer names cannot be encoded.
constexpr int kNameBytes = 16;

// Client to lobby. Each returns the whole message. Names longer than 16
// bytes are cut (the command parser refuses them before they get here).
std::string encode_name(int32_t user_id, const std::string& name);
std::string encode_validation(int32_t value);
std::string encode_login(int32_t user_id, int32_t key, int32_t seats, int32_t start_size);
std::string encode_keep_alive();
std::string encode_room_op(int32_t op);
// `text` of at most 255 bytes (the length byte); longer text is cut. The
// lobby itself drops lines longer than 80 bytes in all.
std::string encode_chat(int32_t value, const std::string& text);
std::string encode_direct(int32_t target, int32_t value);

// One message from the lobby. `first` and `second` hold the numeric fields
// in wire order:
//   2R room, members      2M room           2J result       2S code
//   2N seat, self flag    2D sender, value  2F seat, value  2Q room, members
//   2H count              2C value
// `text` holds the title (2R) or name (2N) up to its first zero byte, or the
// chat text (2C). An unknown stretch of bytes has letter 0 and only `raw`.
struct LobbyMessage {
  uint8_t letter = 0;
  int32_t first = 0;
  int32_t second = 0;
  std::string text;
  std::string raw;
};

class LobbyDecoder {
 public:
  // Takes the next bytes of the stream, split anywhere, and appends every
  // message they complete. A message cut at the end of `bytes` is held until
  // the rest arrives. Unknown bytes are reported at once, at most 16 to a
  // message, so that a stream that never recovers still shows up.
  void feed(const uint8_t* bytes, size_t length, std::vector<LobbyMessage>* out);
  void feed(const std::string& bytes, std::vector<LobbyMessage>* out) {
    feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), out);
  }
  // The stream ended: what is left of an incomplete message is unknown.
  void finish(std::vector<LobbyMessage>* out);
  size_t held() const { return held_.size(); }

 private:
  std::string held_;
};

// One line for a message, e.g. "2H count=3", "2D from=0xfffd value=300",
// "?? 32 5a". Bytes of names and chat text outside printable ASCII, and the
// backslash, are written as \xNN so that every message stays on one line.
std::string format_message(const LobbyMessage& message);
// Printable form of arbitrary bytes, as used for names and chat text.
std::string escape_text(const std::string& bytes);

}  // namespace client

#endif  // CLIENT_WIRE_CODEC_H_
