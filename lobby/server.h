// The server's threads: one accept thread and ROOM worker threads, each
// worker serving eight slots. start() runs them; stop() clears
// server_running and joins them, then ends every connection without
// sending anything more.
//
// Threads sleep in one readiness wait per pass over their descriptors and a
// wake-up descriptor until something happens: input, a wake-up from
// another thread, writability of a blocked send, or a deadline. Every
// deadline is a time on the server's one monotonic clock. A worker sleeps
// at most until the idle limit of one of its clients or the next flood
// token of one it holds back; the accept thread until the next login
// deadline, the next look at the deny file (once a second), the upstream
// link's next step, a held newcomer's or a drain's limit, or the
// watchdog. Whatever one thread posts for another client wakes the
// workers, so deliveries never wait for a time-out.
//
// Guarding the lobby on the open internet is the accept thread's work,
// except flood pacing and the idle limit (the dispatcher's): its Admission
// (lobby/admission.h) turns away denied addresses and addresses at their
// limit and makes a silent connection give way when every slot is taken;
// the thread itself asks for the drop of connections the moment they pass
// their login deadline, and rereads a changed deny file.
#ifndef LOBBY_SERVER_H_
#define LOBBY_SERVER_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "lobby/admission.h"
#include "lobby/clock.h"
#include "lobby/lobby_state.h"
#include "platform/annotated_mutex.h"

namespace net {
class Listener;
}  // namespace net

namespace lobby {

// A port that cannot be had (another process holds it) is tried again this
// often, until it can.
constexpr int64_t kListenRetryMs = 5000;

class Server {
 public:
  // `clock` may be null for the system's monotonic clock, `events` null for
  // a server that reports nothing; both must outlive the server.
  Server(const config::Settings& settings, Clock* clock, LobbyEvents* events = nullptr);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Starts the accept thread, then the worker threads. Main thread.
  void start();
  // Waits (at most `timeout_ms`) until the accept thread has prepared the
  // tables and tried to listen. The bound port, or -1 when the first try
  // failed or the wait ran out.
  int wait_listening(int timeout_ms);
  // Clears server_running, joins every thread, then closes every open
  // connection without flushing. Main thread; safe to call twice.
  void stop();

  Lobby& lobby() { return *lobby_; }
  // The clock the server keeps its time by.
  Clock& clock() { return *clock_; }
  // The port the listener is bound to; 0 before the accept thread tried,
  // -1 while listening fails (it is tried again every kListenRetryMs). Any
  // thread.
  int listening_port() const { return listening_port_.load(std::memory_order_acquire); }

  // Starts draining: from now on every new connection is refused with 2A,
  // and once no client is connected, or `seconds` have passed, the lobby's
  // events hear drain_finished. A later call sets a new time limit. Any
  // thread.
  void start_drain(int seconds);
  // Ends a drain that has not finished yet: new connections are taken
  // again and the process goes on. Any thread.
  static constexpr int kDrainCancelled = 0;
  static constexpr int kNotDraining = 1;
  static constexpr int kDrainOver = -1;  // it has finished: the process is stopping
  int cancel_drain();

  // Wakes every server thread for one pass. Test seam: a test that must
  // know the server has had its say uses it with the pass counters.
  void poke();

  // Progress counters, for tests that must know a pass has happened.
  int64_t accept_passes() const { return accept_passes_.load(std::memory_order_acquire); }
  int64_t worker_passes(int worker) const {
    return worker_passes_[worker].load(std::memory_order_acquire);
  }
  // Readiness waits of a worker that ran to a time-out.
  int64_t worker_timeouts(int worker) const {
    return worker_timeouts_[worker].load(std::memory_order_acquire);
  }

 private:
  void accept_thread();
  // Opens the game port. The first failure is logged and told to the
  // events; later tries are silent until one works, which is logged with
  // the number of attempts.
  void try_listen(net::Listener& listener);
  void worker_thread(int k);
  // The one place where a worker waits: for any of its open sockets to
  // become readable (or writable, where sends are blocked), for a wake-up,
  // or for the time-out; no wait at all while a slot has work pending.
  // `readable` tells, per slot of the worker, whether its receive may find
  // input.
  void wait_for_worker_pass(int k, bool readable[kSlotsPerWorker]);
  void count_connected();
  // Acts on a reload the accept thread has not seen yet: moves the
  // upstream link when N_IP or N_PORT changed.
  void follow_reload();
  // Ends a drain whose clients have all left or whose time ran out.
  void check_drain();
  // The accept thread's deadlines that are due: login waits that ran out,
  // and the deny file's look once a second.
  void run_timers();
  // How long the accept thread may sleep: until the next login deadline,
  // the deny file's next look, the upstream link's next deadline, the end
  // of a held newcomer's wait, a drain's time limit or the event sink's
  // deadline (it runs the sink's keeper pass). -1 for no bound.
  int accept_wait_ms();
  // How long worker `k` may sleep when none of its slots has work: until
  // the idle limit of one of its logged-in clients, or the next token of a
  // client that flood pacing holds back; -1 for no bound (a test may set
  // one). A clock that moves only when advanced by hand wakes every thread
  // itself.
  int worker_wait_ms(int k);

  std::unique_ptr<Lobby> lobby_;
  SteadyClock steady_clock_;
  Clock* clock_;
  // Whom the accept thread lets in. Accept thread only.
  std::unique_ptr<Admission> admission_;
  std::atomic<int32_t> server_running_{0};
  // Atomic: 0 until the accept thread tried to listen, then the port or -1.
  std::atomic<int32_t> listening_port_{0};
  std::atomic<int64_t> accept_passes_{0};
  std::atomic<int64_t> worker_passes_[kMaxRooms] = {};
  std::atomic<int64_t> worker_timeouts_[kMaxRooms] = {};
  // Wakes the accept thread (for the stop). Created with the server.
  int accept_wake_ = -1;
  int worker_wait_ms_;
  std::thread accept_;
  std::vector<std::thread> workers_;
  // Accept thread only.
  int64_t next_login_deadline_ms_ = -1;  // -1: no connection waits for a login
  int64_t next_deny_look_ms_ = 0;
  int64_t last_accept_error_ms_ = -1;
  // Orders a drain's cancel against its end: a cancel that comes too late
  // says so. A leaf lock, held for a few loads and stores.
  platform::Mutex drain_lock_;
  // Written by the accept thread under drain_lock_; read by it without
  // (the only writer), and by others under the lock. Not GUARDED_BY, since
  // the analysis cannot tell the writer's own reads from the rest.
  bool drain_finished_ = false;
  // Failed tries to listen since the last success; the next one is due at
  // next_listen_try_ms_.
  int listen_attempts_ = 0;
  // The generation of the live settings the accept thread last acted on.
  uint32_t settings_generation_ = 0;
  int64_t next_listen_try_ms_ = 0;
};

// The lowest served slot that is free, or -1.
int find_free_slot(const Lobby& lobby);

// Test seam: a function every worker calls with its number at the start of
// each pass, once its readiness wait has ended; null (the default) for
// none. A test program uses it to stall one worker as a handler stuck for
// good would. Set before the server starts.
using WorkerPassHook = void (*)(int worker);
void set_worker_pass_hook(WorkerPassHook hook);

}  // namespace lobby

#endif  // LOBBY_SERVER_H_
