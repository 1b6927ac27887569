// The operator's chat lines (lobbyctl say): a 2C the lobby composes itself
// and writes into the ChatRing like any client's line, so that every
// receiver's delivery pump sends it in its place among the others, never
// lost and never ahead of lines written before it, and counts it as a
// delivery. Only the operator's lines may go to every client outside games
// or to one connection; a client's line goes to its group or its game.
// Any thread but a worker (the admin channel's).
#ifndef LOBBY_OPERATOR_LINE_H_
#define LOBBY_OPERATOR_LINE_H_

#include <cstdint>

#include "lobby/lobby_state.h"

namespace lobby {

struct OperatorLine {
  ChatScope scope = ChatScope::kEveryone;
  // kTarget: a group key (above 0), or `room` for the game of a room;
  // kConnection: the slot.
  int32_t group_key = kNone;
  int32_t room = kNone;
  int32_t slot = kNone;
  uint32_t serial = 0;  // kConnection: the connection's, from its drop request
  int32_t value = 0;    // bytes 2-5
  const uint8_t* text = nullptr;
  int length = 0;  // at most wire::kMaxChatText
};

// Results of post_operator_line.
constexpr int kLinePosted = 0;
constexpr int kLineNoGame = -1;    // the room has no game running
constexpr int kLineRingFull = -2;  // a reader that reads is a whole ring behind: try later

// Writes `line` at the ChatRing's head and wakes the workers of whom it
// concerns. Never waits: when the ring has no room it asks, as a waiting
// client does, for the laggards to move or go (wait_for_chat_readers in
// ring_readers.h, which tells when to try again) and returns
// kLineRingFull.
int post_operator_line(Lobby& lobby, const OperatorLine& line)
    EXCLUDES(lobby.lock_rooms, lobby.lock_chat);

}  // namespace lobby

#endif  // LOBBY_OPERATOR_LINE_H_
