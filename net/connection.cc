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

int Connection::attach(int accepted_socket, const uint8_t* first_bytes, int first_length) {
  socket = accepted_socket;
  reset_queues();
  if (first_length > 0) append_received(first_bytes, first_length);
  // Opened last, so that a thread that sees the connection open also sees
  // the reset positions.
  mark_open();
  return 0;
}

int Connection::close_sockets() {
  if (socket >= 0) {
    transport_->close(socket);
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
    transport_->abort(socket);
    socket = -1;
  }
  return close();
}

int Connection::recv_some(uint8_t* buffer, int size) {
  int n = transport_->recv(socket, buffer, size - 1);
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

int Connection::receive() {
  if (state.load(std::memory_order_acquire) == kStateClosed) return 0;
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
  IoSlice slices[kFlushBatch];
  const int count = begin_flush(slices);
  if (count == 0) return 0;
  end_flush(slices, count, transport_->sendv(socket, slices, count));
  return 0;
}

int Connection::begin_flush(IoSlice* slices) {
  if (state.load(std::memory_order_acquire) == kStateClosed) return 0;
  platform::MutexLock guard(send_lock);
  blocked = false;
  // Up to 20 messages leave in one gathered send; the head message may
  // already be partly sent.
  const int batch = send_count < kFlushBatch ? send_count : kFlushBatch;
  for (int i = 0; i < batch; ++i) {
    const int index = (send_read + i) & kSendSlotMask;
    const int offset = i == 0 ? send_offset : 0;
    slices[i] = {send_slot[index].data() + offset, send_len[index] - offset};
  }
  return batch;
}

void Connection::end_flush(const IoSlice* slices, int count, int taken) {
  // The send held no lock: another thread's enqueue writes only slots
  // beyond the queued messages (the queue never wraps onto them), and only
  // this thread moves send_read. So an enqueue never waits for a send.
  platform::MutexLock guard(send_lock);
  if (taken < 0) {
    // The kernel takes nothing now, or the peer is gone (which the next
    // receive reports). The messages stay queued.
    blocked = true;
    if (taken == kIoError) send_error = true;
    return;
  }
  int wanted = 0;
  for (int i = 0; i < count; ++i) wanted += slices[i].length;
  if (taken < wanted) blocked = true;
  if (bytes_sent_ != nullptr) bytes_sent_->fetch_add(taken, std::memory_order_relaxed);
  // Whole messages leave the queue; a message cut by the kernel keeps its
  // rest at the head, to go first on the next flush.
  for (int i = 0; i < count && taken > 0; ++i) {
    if (taken < slices[i].length) {
      send_offset += taken;
      break;
    }
    taken -= slices[i].length;
    send_offset = 0;
    send_read = (send_read + 1) & kSendSlotMask;
    send_count -= 1;
  }
}

int Connection::take_unsent(uint8_t* bytes) {
  platform::MutexLock guard(send_lock);
  if (send_count == 0) return 0;
  const int length = send_len[send_read] - send_offset;
  std::memcpy(bytes, send_slot[send_read].data() + send_offset, static_cast<size_t>(length));
  send_offset = 0;
  send_read = (send_read + 1) & kSendSlotMask;
  send_count -= 1;
  return length;
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

void Connection::export_endpoint(EndpointImage* image) const {
  image->state = state.load(std::memory_order_relaxed);
  image->socket = socket;
  image->listen_socket = listen_socket;
  image->listen_state = listen_state;
  image->remote_host = remote_host;
  image->remote_port = remote_port;
}

void Connection::import_endpoint(const EndpointImage& image) {
  state.store(image.state, std::memory_order_relaxed);
  socket = image.socket;
  listen_socket = image.listen_socket;
  listen_state = image.listen_state;
  remote_host = image.remote_host;
  remote_host.back() = '\0';
  remote_port = image.remote_port;
}

void Connection::export_queues(QueueImage* image) const {
  image->unread = recv_count;
  for (int i = 0; i < recv_count; ++i) image->ring[i] = ring_byte(i);
  platform::MutexLock guard(send_lock);
  image->unsent = send_count;
  image->send_offset = send_offset;
  image->overflowed = overflowed;
  image->blocked = blocked;
  image->send_error = send_error;
  for (int i = 0; i < send_count; ++i) {
    const int index = (send_read + i) & kSendSlotMask;
    image->send_len[i] = send_len[index];
    image->send_slot[i] = send_slot[index];
  }
}

void Connection::import_queues(const QueueImage& image) {
  // Each goes back at the start of its ring or queue.
  std::memcpy(recv_ring.data(), image.ring.data(), static_cast<size_t>(image.unread));
  recv_read = 0;
  recv_count = image.unread;
  recv_write = image.unread & kRecvRingMask;
  platform::MutexLock guard(send_lock);
  send_offset = image.send_offset;
  overflowed = image.overflowed;
  blocked = image.blocked;
  send_error = image.send_error;
  for (int i = 0; i < image.unsent; ++i) {
    send_len[i] = image.send_len[i];
    send_slot[i] = image.send_slot[i];
  }
  send_read = 0;
  send_count = image.unsent;
  send_write = image.unsent & kSendSlotMask;
}

}  // namespace net
