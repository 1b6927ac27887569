// The exporter's door for HTTP connections: a connection is served only
// once its whole request has arrived, and closed when that takes more than
// kRequestWaitMs from its first byte, or when no byte comes within
// kRequestWaitMs of its accept. One thread holds every connection still
// sending, so slow clients, however many and however slow, hold none of
// the threads that serve requests: each of those only ever serves a
// request that is all there. The gate keeps kMaxWaiting connections at
// most; a newcomer beyond them displaces the one that has waited longest.
// Any thread for admit(); the gate's own thread for the rest.
#ifndef OPS_REQUEST_GATE_H_
#define OPS_REQUEST_GATE_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ops {

class RequestGate {
 public:
  // How long a request may take to arrive, from its first byte.
  static constexpr int64_t kRequestWaitMs = 2000;
  // Connections still sending, held at once (one readiness wait over them
  // and the wake-up).
  static constexpr int kMaxWaiting = 15;
  // The longest request taken: its head and any body.
  static constexpr size_t kMaxRequestBytes = 8 * 1024;

  // Receives each connection whose request has arrived whole, with the
  // bytes read from it, and owns the socket from then on.
  using Serve = std::function<void(int fd, std::string request)>;

  explicit RequestGate(Serve serve);
  // Stops the gate and closes what it holds.
  ~RequestGate();
  RequestGate(const RequestGate&) = delete;
  RequestGate& operator=(const RequestGate&) = delete;

  // Takes the accepted socket `fd`; the gate serves or closes it.
  void admit(int fd);
  void stop();

  // Whether `bytes` hold a whole request: 1 whole, 0 not yet, -1 never (too
  // long, or a body it does not take). Exposed for tests.
  static int request_state(const std::string& bytes);

 private:
  struct Waiting {
    int fd = -1;
    int64_t accepted_ms = 0;
    int64_t first_byte_ms = -1;
    std::string bytes;
  };

  void run();
  // Moves the admitted sockets into the table.
  void take_admitted(int64_t now_ms);
  // Reads what arrived; serves or closes the connection when it is done.
  void read_some(Waiting& waiting, int64_t now_ms);
  void drop(Waiting& waiting);

  const Serve serve_;
  int wake_fd_ = -1;
  std::atomic<bool> running_{true};
  std::mutex lock_;
  std::vector<std::pair<int, int64_t>> admitted_;  // Guarded by lock_.
  // The gate thread's alone.
  std::array<Waiting, kMaxWaiting> waiting_;
  std::thread thread_;
};

}  // namespace ops

#endif  // OPS_REQUEST_GATE_H_
