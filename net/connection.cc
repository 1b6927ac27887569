#include "net/connection.h"

#include <cstring>

#include "net/socket_ops.h"

namespace net {

Connection::Connection() = default;
Connection::~Connection() = default;

void Connection::reset_queues() {
  {
    platform::MutexLock guard(send_lock);
    send_read = 0;
    send_count = 0;
    send_write = 0;
    send_offset = 0;
    overflowed = false;
    blocked = false;
    send_error = false;
  }
  recv_read = 0;
  recv_count = 0;
  recv_write = 0;
}

int Connection::attach(int accepted_socket) {
  socket = accepted_socket;
  reset_queues();
  // Opened last, so that a thread that sees the connection open also sees
  // the reset positions.
  state.store(kStateOpen, std::memory_order_release);
  return 0;
}

int Connection::close_sockets() {
  if (socket >= 0) {
    transport->close(socket);
    socket = -1;
  }
  if (listen_socket >= 0) {
    shutdown_fd(listen_socket);
    close_fd(listen_socket);
    listen_socket = -1;
  }
  return 0;
}

int Connection::close() {
  close_sockets();
  state.store(kStateClosed, std::memory_order_release);
  return 0;
}

int Connection::abort() {
  if (socket >= 0) {
    transport->abort(socket);
    socket = -1;
  }
  return close();
}

int Connection::poll_readable(int wait_ms) {
  int ready = poll_fd(socket, kPollIn, wait_ms);
  return ready == 0 ? -1 : 0;
}

int Connection::recv_some(uint8_t* buffer, int size) {
  int n = transport->recv(socket, buffer, size - 1);
  if (n >= 0) buffer[n] = 0;
  if (n > 0 && bytes_received_ != nullptr) bytes_received_->fetch_add(n, std::memory_order_relaxed);
  return n;
}

int Connection::append_received(const uint8_t* bytes, int length) {
  int room = kRecvRingSize - recv_count;
  if (length > room) length = room;
  for (int i = 0; i < length; ++i) {
    recv_ring[recv_write] = bytes[i];
    recv_write = (recv_write + 1) & kRecvRingMask;
  }
  recv_count += length;
  return length;
}

int Connection::receive(int wait_ms) {
  if (state.load(std::memory_order_acquire) == kStateClosed) return 0;
  // Without a wait the receive itself tells whether anything is there.
  if (wait_ms > 0 && poll_readable(wait_ms) == -1) return 0;
  // Never take more than the ring can hold, whatever the parsers left in it.
  int room = kRecvRingSize - recv_count;
  int size = (room < kRecvChunk ? room : kRecvChunk) + 1;
  if (size <= 1) return 0;
  int n = recv_some(out_buf.data(), size);
  if (n == kIoWouldBlock) return 0;  // interrupted or spurious wake-up
  if (n <= 0) return 1;              // peer closed, or the socket failed
  append_received(out_buf.data(), n);
  return 0;
}

int Connection::enqueue(const uint8_t* bytes, int length) {
  if (length < 1 || length > kSendSlotBytes) return kEnqueueTooLong;
  platform::MutexLock guard(send_lock);
  if (send_count >= kSendSlots) {
    overflowed = true;
    return kEnqueueFull;
  }
  std::memcpy(send_slot[send_write].data(), bytes, static_cast<size_t>(length));
  send_len[send_write] = length;
  send_count += 1;
  send_write = (send_write + 1) & kSendSlotMask;
  return kEnqueueOk;
}

int Connection::flush() {
  if (state.load(std::memory_order_acquire) == kStateClosed) return 0;
  platform::MutexLock guard(send_lock);
  blocked = false;
  const int batch = send_count < kFlushBatch ? send_count : kFlushBatch;
  if (batch == 0) return 0;
  // Up to 20 messages leave in one gathered send; the head message may
  // already be partly sent.
  IoSlice slices[kFlushBatch];
  int wanted = 0;
  for (int i = 0; i < batch; ++i) {
    const int index = (send_read + i) & kSendSlotMask;
    const int offset = i == 0 ? send_offset : 0;
    slices[i] = {send_slot[index].data() + offset, send_len[index] - offset};
    wanted += slices[i].length;
  }
  int taken = transport->sendv(socket, slices, batch);
  if (taken < 0) {
    // The kernel takes nothing now, or the peer is gone (which the next
    // receive reports). The messages stay queued.
    blocked = true;
    if (taken == kIoError) send_error = true;
    return 0;
  }
  if (taken < wanted) blocked = true;
  if (bytes_sent_ != nullptr) bytes_sent_->fetch_add(taken, std::memory_order_relaxed);
  // Whole messages leave the queue; a message cut by the kernel keeps its
  // rest at the head, to go first on the next flush.
  for (int i = 0; i < batch && taken > 0; ++i) {
    if (taken < slices[i].length) {
      send_offset += taken;
      break;
    }
    taken -= slices[i].length;
    send_offset = 0;
    send_read = (send_read + 1) & kSendSlotMask;
    send_count -= 1;
  }
  return 0;
}

int Connection::send_pending() const {
  platform::MutexLock guard(send_lock);
  return send_count;
}

int Connection::send_free() const {
  platform::MutexLock guard(send_lock);
  return kSendSlots - send_count;
}

bool Connection::send_blocked() const {
  platform::MutexLock guard(send_lock);
  return blocked;
}

bool Connection::send_failed() const {
  platform::MutexLock guard(send_lock);
  return send_error;
}

bool Connection::send_overflowed() const {
  platform::MutexLock guard(send_lock);
  return overflowed;
}

int Connection::connect_remote() {
  int fd = tcp_socket();
  if (fd < 0) return kConnectNoSocket;
  uint32_t addr = 0;
  if (parse_ipv4(remote_host.data(), &addr) != 0 && resolve_ipv4(remote_host.data(), &addr) != 0) {
    close_fd(fd);
    return kConnectNoHost;
  }
  if (connect_ipv4(fd, addr, remote_port, kConnectTimeoutMs) != 0) {
    close_fd(fd);
    return kConnectFailed;
  }
  socket = fd;
  reset_queues();
  state.store(kStateOpen, std::memory_order_release);
  return kConnectOk;
}

}  // namespace net
