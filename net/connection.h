// One TCP socket with a receive ring, a bounded queue of small outgoing
// messages and a composition buffer. Framing is left to the owner.
//
// Threading: the owner thread (a slot's worker, or the accept thread for the
// listener and the upstream link) uses every field, with two exceptions.
// `state` is an atomic shared with the accept thread. The send queue is
// guarded by `send_lock`, because others queue into it: the seat-vacated
// notice into another slot's queue, and every worker its notices into the
// upstream link's. Only the owner sends what is queued.
#ifndef NET_CONNECTION_H_
#define NET_CONNECTION_H_

#include <array>
#include <atomic>
#include <cstdint>

#include "net/transport.h"
#include "platform/annotated_mutex.h"

namespace net {

constexpr int kRecvRingSize = 4096;
constexpr int kRecvRingMask = kRecvRingSize - 1;
constexpr int kOutBufSize = 1024;
// One receive takes at most this many bytes (out_buf less its trailing zero).
constexpr int kRecvChunk = kOutBufSize - 1;
constexpr int kSendSlots = 256;
constexpr int kSendSlotMask = kSendSlots - 1;
constexpr int kSendSlotBytes = 80;
constexpr int kFlushBatch = 20;
constexpr int kRemoteHostBytes = 32;
constexpr int kReadyWaitMs = 10;
constexpr int kConnectTimeoutMs = 3000;

constexpr int32_t kStateClosed = -1;
constexpr int32_t kStateOpen = 1;

// Results of enqueue.
constexpr int kEnqueueOk = 0;
constexpr int kEnqueueTooLong = -1;  // longer than one send slot
constexpr int kEnqueueFull = -2;     // 256 messages wait unsent

// What a state image carries of a connection's socket across a hand-over
// to a new process: the connected and the listening socket, their states,
// and the outbound peer. A plain record, filled and taken back whole.
struct EndpointImage {
  int32_t state = kStateClosed;
  int32_t socket = -1;
  int32_t listen_socket = -1;
  int32_t listen_state = 0;
  std::array<char, kRemoteHostBytes> remote_host{};
  int32_t remote_port = 0;
};

// What a state image carries of a connection's queues: the receive ring's
// unread bytes and the send queue's unsent messages, each oldest first.
struct QueueImage {
  int32_t unread = 0;  // 0..kRecvRingSize
  std::array<uint8_t, kRecvRingSize> ring{};
  int32_t unsent = 0;       // 0..kSendSlots
  int32_t send_offset = 0;  // bytes of the first message already sent
  bool overflowed = false;
  bool blocked = false;
  bool send_error = false;
  std::array<int32_t, kSendSlots> send_len{};  // each 1..kSendSlotBytes
  std::array<std::array<uint8_t, kSendSlotBytes>, kSendSlots> send_slot{};
};

class Connection {
 public:
  Connection();
  virtual ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Takes over an accepted socket and opens the connection with an empty
  // queue and, in its ring, the `first_length` bytes of `first_bytes`
  // (the client's bytes that came with a proxy's header; at most
  // kRecvRingSize). REQUIRES: state is closed (or the refusal slot).
  int attach(int accepted_socket, const uint8_t* first_bytes = nullptr, int first_length = 0);
  // Closes the sockets, then marks the connection closed, last: from that
  // store on another thread may attach a new socket.
  int close();
  int close_sockets();
  // As close, but the connected socket is reset (Transport::abort): what the
  // kernel still holds for the peer is thrown away instead of sent.
  int abort();
  // One recv of at most size - 1 bytes, a zero byte written after them.
  // Bytes received, 0 when the peer closed, -1 on failure, -2 nothing there.
  int recv_some(uint8_t* buffer, int size);
  // Appends what has arrived to the receive ring, without waiting (the
  // owner's readiness wait has told that something is there). 1 when the
  // peer closed or the socket failed, else 0.
  int receive();
  // True once the peer has closed its end, even with input still unread.
  bool peer_shut() const { return transport_->peer_shut(socket); }
  // Bytes the kernel still holds to send to the peer; -1 when unknown.
  int kernel_unsent() const { return transport_->unsent(socket); }
  // Queues one message of 1..80 bytes. Never overwrites an unsent message:
  // on a full queue the message is refused and `overflowed` is set.
  int enqueue(const uint8_t* bytes, int length);
  // Sends up to 20 queued messages without blocking. A message the kernel
  // takes only in part keeps its rest at the head of the queue, so the peer
  // never sees a message cut; a refused send leaves it queued, and one
  // refused because the connection failed also sets `send_error`. Owner
  // thread only; send_lock is not held during the send itself.
  int flush();
  // The same in two halves, for an owner that makes several connections'
  // sends at once: begin_flush fills `slices` (kFlushBatch of them at most)
  // with what the next send would take and returns their number, 0 for
  // nothing to send; end_flush takes the send's result (bytes taken,
  // kIoWouldBlock or kIoError).
  int begin_flush(IoSlice* slices);
  void end_flush(const IoSlice* slices, int count, int taken);
  // Takes the oldest message out of the queue unsent: what of it is still
  // to go, into `bytes` (kSendSlotBytes of room). Its length, 0 when the
  // queue is empty. For an owner that delivers without a socket.
  int take_unsent(uint8_t* bytes);

  // Atomic `state`, read by any thread: the acquire pairs with the
  // release of attach and close, so a thread that sees the connection
  // open also sees what attach reset.
  bool is_open() const { return state.load(std::memory_order_acquire) != kStateClosed; }
  // The connected socket, -1 for none. Owner thread.
  int socket_fd() const { return socket; }
  Transport* transport() const { return transport_; }
  // Before the connection is first opened, never changed after.
  void set_transport(Transport* via) { transport_ = via; }

  // Receive-ring access for parsers. Owner thread.
  int received() const { return recv_count; }
  bool ring_full() const { return recv_count == kRecvRingSize; }
  uint8_t ring_byte(int offset) const { return recv_ring[(recv_read + offset) & kRecvRingMask]; }
  void consume(int length) {
    recv_read = (recv_read + length) & kRecvRingMask;
    recv_count -= length;
  }
  // Move the read position over bytes without consuming them, and back: a
  // parser stands on a message's second byte while its handler reads it.
  // The ring's invariant holds again once the position is back, or the
  // message is consumed from its first byte.
  void advance_read(int length) { recv_read = (recv_read + length) & kRecvRingMask; }
  void rewind_read(int length) { recv_read = (recv_read - length) & kRecvRingMask; }
  // Appends bytes to the ring as a receive would; returns how many fit.
  int append_received(const uint8_t* bytes, int length);

  // The composition buffer, kOutBufSize bytes: one outgoing message is
  // put together in it before it is queued. Owner thread.
  uint8_t* compose_buffer() { return out_buf.data(); }

  // Adds every byte received to `*received` and every byte sent to
  // `*sent` (the owner's totals; null for none). Before the connection is
  // first opened.
  void count_bytes(std::atomic<int64_t>* received, std::atomic<int64_t>* sent) {
    bytes_received_ = received;
    bytes_sent_ = sent;
  }

  int send_pending() const;
  int send_free() const;
  bool send_overflowed() const;
  bool send_blocked() const;
  bool send_failed() const;

  // The state image's view: everything it carries of the connection, out
  // and back in. Import into a connection whose threads have not started;
  // the image must hold counts and lengths within the sizes above.
  void export_endpoint(EndpointImage* image) const;
  void import_endpoint(const EndpointImage& image);
  void export_queues(QueueImage* image) const;
  void import_queues(const QueueImage& image);

 protected:
  // Empties the receive ring and the send queue, dropping what they hold.
  void reset_queues();
  // Opens the connection on `socket`, last: the release store publishes
  // everything written before it to the thread that sees it open.
  void mark_open() { state.store(kStateOpen, std::memory_order_release); }

  // Owner thread only. `socket` is the connected socket (for the
  // Listener: the one most recently accepted); the others belong to one
  // kind of connection each: the outbound peer to the upstream link, the
  // last accepted peer and the listening socket to the Listener.
  int32_t remote_port = 0;
  std::array<char, kRemoteHostBytes> remote_host{};
  int32_t peer_ip[4] = {0, 0, 0, 0};
  int32_t peer_port = 0;
  int32_t listen_state = 0;
  int listen_socket = -1;
  int socket = -1;

 private:
  // What `socket` is received from, sent to and closed through: the socket
  // layer, or a test's in-memory stand-in.
  Transport* transport_ = socket_transport();

  // Owner thread only.
  std::array<uint8_t, kRecvRingSize> recv_ring{};
  std::array<uint8_t, kOutBufSize> out_buf{};
  // Invariant: recv_write == (recv_read + recv_count) & kRecvRingMask,
  // except while a parser has moved recv_read (advance_read).
  int32_t recv_read = 0;
  int32_t recv_count = 0;
  int32_t recv_write = 0;

  // A leaf lock: nothing else is taken while it is held.
  mutable platform::Mutex send_lock;
  std::array<int32_t, kSendSlots> send_len GUARDED_BY(send_lock){};
  std::array<std::array<uint8_t, kSendSlotBytes>, kSendSlots> send_slot GUARDED_BY(send_lock){};
  int32_t send_read GUARDED_BY(send_lock) = 0;
  int32_t send_count GUARDED_BY(send_lock) = 0;
  int32_t send_write GUARDED_BY(send_lock) = 0;
  int32_t send_offset GUARDED_BY(send_lock) = 0;  // bytes of the head message already sent
  bool overflowed GUARDED_BY(send_lock) = false;
  // The last flush stopped because the kernel took nothing more: the owner
  // waits for writability instead of trying again at once.
  bool blocked GUARDED_BY(send_lock) = false;
  // A send failed because the connection did (reset, or closed by the peer).
  bool send_error GUARDED_BY(send_lock) = false;

  // Atomic: set open by attach (accept thread), closed by the owner.
  std::atomic<int32_t> state{kStateClosed};

  std::atomic<int64_t>* bytes_received_ = nullptr;
  std::atomic<int64_t>* bytes_sent_ = nullptr;
};

}  // namespace net

#endif  // NET_CONNECTION_H_
