#include "net/send_batch.h"

#include <errno.h>
#include <linux/io_uring.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace net {
namespace {

// A submission queue and a completion queue of kRingEntries entries, set
// up with the plain system calls (no library): the rings are shared with
// the kernel, which reads the submission tail and writes the completion
// tail; the atomics order the entries against them.
constexpr unsigned kRingEntries = kMaxSendJobs;

class Ring {
 public:
  Ring() { open(); }
  ~Ring() { close(); }
  Ring(const Ring&) = delete;
  Ring& operator=(const Ring&) = delete;

  bool usable() const { return fd_ >= 0; }

  // Sends every job's slices in one io_uring_enter. False when nothing
  // could be submitted: the ring is then given up (its entries with it)
  // and the caller sends one by one.
  bool send_all(SendJob* jobs, int count) {
    if (count > static_cast<int>(kRingEntries)) return false;
    msghdr messages[kMaxSendJobs];
    iovec vectors[kMaxSendJobs][kMaxSendSlices];
    unsigned tail = sq_tail_->load(std::memory_order_relaxed);
    for (int i = 0; i < count; ++i) {
      const int n = jobs[i].count < kMaxSendSlices ? jobs[i].count : kMaxSendSlices;
      for (int s = 0; s < n; ++s) {
        vectors[i][s].iov_base = const_cast<uint8_t*>(jobs[i].slices[s].data);
        vectors[i][s].iov_len = static_cast<size_t>(jobs[i].slices[s].length);
      }
      std::memset(&messages[i], 0, sizeof messages[i]);
      messages[i].msg_iov = vectors[i];
      messages[i].msg_iovlen = static_cast<size_t>(n);
      const unsigned index = tail & *sq_mask_;
      io_uring_sqe& sqe = sqes_[index];
      std::memset(&sqe, 0, sizeof sqe);
      sqe.opcode = IORING_OP_SENDMSG;
      sqe.fd = jobs[i].fd;
      sqe.addr = reinterpret_cast<uint64_t>(&messages[i]);
      sqe.len = 1;
      // Never waits: a socket that takes nothing now completes with
      // EAGAIN instead of being polled by the kernel.
      sqe.msg_flags = MSG_DONTWAIT | MSG_NOSIGNAL;
      sqe.user_data = static_cast<uint64_t>(i);
      sq_array_[index] = index;
      ++tail;
    }
    sq_tail_->store(tail, std::memory_order_release);
    int submitted = 0;
    while (submitted < count) {
      const long rc = syscall(__NR_io_uring_enter, fd_, count - submitted, count - submitted,
                              IORING_ENTER_GETEVENTS, nullptr, 0);
      if (rc < 0 && errno == EINTR) continue;
      if (rc <= 0 && submitted == 0) {
        close();
        return false;
      }
      // A ring that fails once some sends are in it cannot say what the
      // rest did: those are taken as refused for now and stay queued.
      if (rc <= 0) break;
      submitted += static_cast<int>(rc);
    }
    for (int i = 0; i < count; ++i) jobs[i].result = kIoWouldBlock;
    int done = 0;
    while (done < submitted) {
      unsigned head = cq_head_->load(std::memory_order_relaxed);
      const unsigned ready = cq_tail_->load(std::memory_order_acquire);
      if (head == ready) {
        // Every send completes at submission; this is only a safeguard.
        if (syscall(__NR_io_uring_enter, fd_, 0, 1, IORING_ENTER_GETEVENTS, nullptr, 0) < 0 &&
            errno != EINTR) {
          break;
        }
        continue;
      }
      for (; head != ready; ++head, ++done) {
        const io_uring_cqe& cqe = cqes_[head & *cq_mask_];
        const int res = cqe.res;
        int& result = jobs[cqe.user_data].result;
        if (res >= 0) {
          result = res;
        } else {
          result =
              (res == -EAGAIN || res == -EWOULDBLOCK || res == -EINTR) ? kIoWouldBlock : kIoError;
        }
      }
      cq_head_->store(head, std::memory_order_release);
    }
    // Entries left in the ring must never be submitted later.
    if (done < count) close();
    return true;
  }

 private:
  void open() {
    io_uring_params params;
    std::memset(&params, 0, sizeof params);
    const long fd = syscall(__NR_io_uring_setup, kRingEntries, &params);
    if (fd < 0) return;
    fd_ = static_cast<int>(fd);
    sq_bytes_ = params.sq_off.array + params.sq_entries * sizeof(unsigned);
    cq_bytes_ = params.cq_off.cqes + params.cq_entries * sizeof(io_uring_cqe);
    const bool single = (params.features & IORING_FEAT_SINGLE_MMAP) != 0;
    if (single && cq_bytes_ > sq_bytes_) sq_bytes_ = cq_bytes_;
    sq_ = mmap(nullptr, sq_bytes_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_,
               IORING_OFF_SQ_RING);
    cq_ = single ? sq_
                 : mmap(nullptr, cq_bytes_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_,
                        IORING_OFF_CQ_RING);
    sqes_bytes_ = params.sq_entries * sizeof(io_uring_sqe);
    void* sqes = mmap(nullptr, sqes_bytes_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_POPULATE, fd_,
                      IORING_OFF_SQES);
    if (sq_ == MAP_FAILED || cq_ == MAP_FAILED || sqes == MAP_FAILED) {
      if (sqes != MAP_FAILED) munmap(sqes, sqes_bytes_);
      close();
      return;
    }
    char* sq = static_cast<char*>(sq_);
    char* cq = static_cast<char*>(cq_);
    sq_tail_ = reinterpret_cast<std::atomic<unsigned>*>(sq + params.sq_off.tail);
    sq_mask_ = reinterpret_cast<unsigned*>(sq + params.sq_off.ring_mask);
    sq_array_ = reinterpret_cast<unsigned*>(sq + params.sq_off.array);
    cq_head_ = reinterpret_cast<std::atomic<unsigned>*>(cq + params.cq_off.head);
    cq_tail_ = reinterpret_cast<std::atomic<unsigned>*>(cq + params.cq_off.tail);
    cq_mask_ = reinterpret_cast<unsigned*>(cq + params.cq_off.ring_mask);
    cqes_ = reinterpret_cast<io_uring_cqe*>(cq + params.cq_off.cqes);
    sqes_ = static_cast<io_uring_sqe*>(sqes);
  }

  void close() {
    if (sqes_ != nullptr) munmap(sqes_, sqes_bytes_);
    if (cq_ != MAP_FAILED && cq_ != nullptr && cq_ != sq_) munmap(cq_, cq_bytes_);
    if (sq_ != MAP_FAILED && sq_ != nullptr) munmap(sq_, sq_bytes_);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    sqes_ = nullptr;
    sq_ = nullptr;
    cq_ = nullptr;
  }

  int fd_ = -1;
  void* sq_ = nullptr;
  void* cq_ = nullptr;
  size_t sq_bytes_ = 0;
  size_t cq_bytes_ = 0;
  size_t sqes_bytes_ = 0;
  std::atomic<unsigned>* sq_tail_ = nullptr;
  unsigned* sq_mask_ = nullptr;
  unsigned* sq_array_ = nullptr;
  std::atomic<unsigned>* cq_head_ = nullptr;
  std::atomic<unsigned>* cq_tail_ = nullptr;
  unsigned* cq_mask_ = nullptr;
  io_uring_cqe* cqes_ = nullptr;
  io_uring_sqe* sqes_ = nullptr;
};

}  // namespace

void sendv_batch(SendJob* jobs, int count) {
  // One ring a thread, made on its first batch of two or more sends.
  if (count > 1) {
    thread_local Ring ring;
    if (ring.usable() && ring.send_all(jobs, count)) return;
  }
  for (int i = 0; i < count; ++i)
    jobs[i].result = sendv_nb(jobs[i].fd, jobs[i].slices, jobs[i].count);
}

}  // namespace net
