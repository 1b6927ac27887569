// Cuts what the lobby sends a client into whole messages, for tests that
// read a stream message by message.
#ifndef TESTS_SUPPORT_MESSAGE_READER_H_
#define TESTS_SUPPORT_MESSAGE_READER_H_

#include <string>

#include "tests/support/tcp_client.h"
#include "tests/support/wire.h"

namespace testing_support {

// Length of a lobby-to-client message from its first bytes; 0 if unknown,
// -1 if more bytes are needed to tell.
inline int lobby_message_length(const std::string& head) {
  if (head.size() < 2) return -1;
  switch (head[1]) {
    case 'A':
    case 'O':
    case 'V':
      return 2;
    case 'J':
      return 3;
    case 'M':
    case 'S':
    case 'Q':
    case 'H':
      return 6;
    case 'D':
    case 'F':
      return 8;
    case 'R':
    case 'N':
      return 22;
    case 'C':
      return head.size() < 7 ? -1 : 7 + static_cast<unsigned char>(head[6]);
    default:
      return 0;
  }
}

// Reads the next whole message (empty on time-out or end of stream).
inline std::string next_message(TcpClient& client, int timeout_ms = 3000) {
  std::string head = client.read_exact(2, timeout_ms);
  if (head.size() < 2) return "";
  int length = lobby_message_length(head);
  if (length < 0) {
    head += client.read_exact(5, timeout_ms);
    length = lobby_message_length(head);
  }
  if (length <= 0) return head;
  return head + client.read_exact(static_cast<size_t>(length) - head.size(), timeout_ms);
}

// Reads messages until one that is not a group count (2H) arrives.
inline std::string next_message_skipping_counts(TcpClient& client, int timeout_ms = 3000) {
  for (;;) {
    std::string m = next_message(client, timeout_ms);
    if (m.size() < 2 || m[1] != 'H') return m;
  }
}

}  // namespace testing_support

#endif  // TESTS_SUPPORT_MESSAGE_READER_H_
