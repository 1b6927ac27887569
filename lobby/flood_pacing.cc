#include "lobby/flood_pacing.h"

#include "wire/protocol.h"

namespace lobby {
namespace {

// A refill never counts more than this much time, so that the product with
// the rate stays far inside 64 bits whatever the clock did.
constexpr int64_t kLongestRefillMs = 3600 * 1000;

// At least one message and a millisecond's earnings more: a held-back
// client's worker wakes on a whole millisecond, up to one late for the
// token it waits for, and what it earned meanwhile must not spill over a
// small bucket, or the pace would fall short of the rate.
int64_t bucket_size(const config::Settings& settings) {
  const int64_t burst = static_cast<int64_t>(settings.L_FLOOD_BURST) * kTokenCost;
  const int64_t least = kTokenCost + settings.L_FLOOD_RATE - 1;
  return burst > least ? burst : least;
}

}  // namespace

void reset_flood_bucket(const config::Settings& settings, ClientSlot& client, int64_t now_ms) {
  client.flood_tokens = bucket_size(settings);
  client.flood_refill_ms = now_ms;
  end_hold(client);
  client.flood_held.store(false, std::memory_order_relaxed);
}

void refill_flood_bucket(const config::Settings& settings, ClientSlot& client, int64_t now_ms) {
  int64_t elapsed = now_ms - client.flood_refill_ms;
  if (elapsed <= 0) return;
  if (elapsed > kLongestRefillMs) elapsed = kLongestRefillMs;
  client.flood_refill_ms = now_ms;
  // A rate of r messages a second earns r thousandths of a message a ms.
  const int64_t tokens = client.flood_tokens + elapsed * settings.L_FLOOD_RATE;
  const int64_t full = bucket_size(settings);
  client.flood_tokens = tokens < full ? tokens : full;
}

bool has_flood_token(const ClientSlot& client) { return client.flood_tokens >= kTokenCost; }

void spend_flood_token(ClientSlot& client) { client.flood_tokens -= kTokenCost; }

bool complete_message_waiting(const net::Connection& client) {
  if (client.recv_count < wire::kLenHeader || client.ring_byte(0) != wire::kMsgMark) return false;
  int length;
  switch (client.ring_byte(1)) {
    case wire::kCmdName:
      length = wire::kLenName;
      break;
    case wire::kCmdValidation:
      length = wire::kLenValidation;
      break;
    case wire::kCmdLogin:
      length = wire::kLenLogin;
      break;
    case wire::kCmdKeepAlive:
      length = wire::kLenKeepAlive;
      break;
    case wire::kCmdRoom:
      length = wire::kLenRoomOp;
      break;
    case wire::kCmdDirect:
      length = wire::kLenDirect;
      break;
    case wire::kCmdChat:
      if (client.recv_count < wire::kLenChatHead) return false;
      length = wire::kLenChatHead + client.ring_byte(wire::kLenChatHead - 1);
      break;
    default:
      return false;
  }
  return client.recv_count >= length;
}

bool note_held_back(ClientSlot& client, bool held, int64_t now_ms) {
  client.flood_held.store(held, std::memory_order_relaxed);
  if (!held) {
    client.hold_paused = client.held_since_ms >= 0;
    return false;
  }
  client.hold_paused = false;
  if (client.held_since_ms < 0) client.held_since_ms = now_ms;
  // The whole messages it sent count for the idle limit, handled yet or not.
  client.last_message_ms.store(now_ms, std::memory_order_relaxed);
  return now_ms - client.held_since_ms >= kFloodDropMs;
}

bool hold_paused(const ClientSlot& client) { return client.hold_paused; }

void end_hold(ClientSlot& client) {
  client.held_since_ms = -1;
  client.hold_paused = false;
}

bool held_back(const ClientSlot& client) {
  return client.flood_held.load(std::memory_order_relaxed);
}

int ms_to_next_token(const config::Settings& settings, const ClientSlot& client, int64_t now_ms) {
  if (settings.L_FLOOD_RATE <= 0) return 1;
  const int64_t missing = kTokenCost - client.flood_tokens;
  // Tokens earned since the last refill are not in flood_tokens yet.
  const int64_t earned = (now_ms - client.flood_refill_ms) * settings.L_FLOOD_RATE;
  const int64_t still = missing - earned;
  if (still <= 0) return 1;
  const int64_t ms = (still + settings.L_FLOOD_RATE - 1) / settings.L_FLOOD_RATE;
  return ms < 1 ? 1 : static_cast<int>(ms);
}

}  // namespace lobby
