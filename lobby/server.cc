#include "lobby/server.h"

#include <chrono>
#include <cstdio>

#include "lobby/dispatcher.h"
#include "lobby/flood_pacing.h"
#include "lobby/ring_readers.h"
#include "lobby/upstream_service.h"
#include "net/listener.h"
#include "net/socket_ops.h"
#include "platform/short_slice.h"

namespace lobby {
namespace {

// The shorter of two waits in ms, where -1 is no bound.
int shorter_wait(int a, int b) {
  if (a < 0) return b;
  if (b < 0) return a;
  return a < b ? a : b;
}

// Read by every worker at the start of a pass; set before the threads start.
std::atomic<WorkerPassHook> worker_pass_hook{nullptr};

// How often the accept thread looks at the deny file, and the least time
// between two "accept failed" lines of a lasting failure.
constexpr int64_t kDenyLookMs = 1000;
constexpr int64_t kAcceptErrorLogMs = 1000;

}  // namespace

void set_worker_pass_hook(WorkerPassHook hook) {
  worker_pass_hook.store(hook, std::memory_order_release);
}

int find_free_slot(const Lobby& lobby) {
  for (int i = 0; i < lobby.served_slots() && i < kSlots; ++i) {
    if (!lobby.slots[i].is_open()) return i;
  }
  return kNone;
}

Server::Server(const config::Settings& settings, Clock* clock, LobbyEvents* events,
               net::Transport* transport)
    : lobby_(new Lobby(settings, events, transport)),
      listener_(new net::Listener()),
      clock_(clock != nullptr ? clock : &steady_clock_),
      admission_(new Admission(*lobby_, *clock_)),
      proxy_stage_(new ProxyStage(*lobby_, *admission_, *clock_)),
      worker_wait_ms_(settings.test_worker_wait_ms > 0 ? settings.test_worker_wait_ms : -1) {
  // Without wake-up descriptors the threads still run, on their time-outs.
  lobby_->accept_wake.open();
  lobby_->upstream.service_wake = &lobby_->accept_wake;
  for (int k = 0; k < lobby_->room_limit(); ++k) lobby_->worker_wake[k].open();
}

Server::~Server() { stop(); }

void Server::start() {
  // A clock advanced by hand wakes every thread: each sleeps until its next
  // deadline otherwise, which such a clock cannot name.
  clock_->set_waker([this] { poke(); });
  server_running_.store(1, std::memory_order_release);
  accept_ = std::thread([this] { accept_thread(); });
  for (int k = 0; k < lobby_->room_limit(); ++k) {
    workers_.emplace_back([this, k] { worker_thread(k); });
  }
  // A restored lobby is served at once, each thread's first pass over
  // everything that waited during the hand-over.
  if (restored_) poke();
}

int Server::wait_listening(int timeout_ms) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    int32_t port = listening_port_.load(std::memory_order_acquire);
    if (port != 0) return port;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return -1;
}

void Server::stop() {
  server_running_.store(0, std::memory_order_release);
  {
    // A paused thread goes on, and finds the server stopping.
    platform::MutexLock guard(pause_lock_);
    pause_wanted_ = false;
    pause_asked_.store(false, std::memory_order_release);
    pause_changed_.notify_all();
  }
  lobby_->wake_accept();
  lobby_->wake_workers();
  if (accept_.joinable()) accept_.join();
  for (std::thread& worker : workers_) {
    if (worker.joinable()) worker.join();
  }
  workers_.clear();
  clock_->set_waker(nullptr);
  // Nothing more is sent: the connections simply end.
  for (ClientSlot& client : lobby_->slots) {
    if (client.is_open()) client.close();
  }
  lobby_->upstream.shut();
  listener_->close_sockets();
}

bool Server::pause(int timeout_ms) {
  const int threads = accept_.joinable() ? 1 + static_cast<int>(workers_.size()) : 0;
  {
    platform::MutexLock guard(pause_lock_);
    pause_wanted_ = true;
    pause_asked_.store(true, std::memory_order_release);
  }
  if (threads == 0) return true;
  // Each thread sees the pause after the pass it is in, or after the wait
  // that this wakes it from.
  poke();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  platform::MutexLock guard(pause_lock_);
  while (parked_ < threads) {
    if (!pause_changed_.wait_until(pause_lock_, deadline) && parked_ < threads) {
      pause_wanted_ = false;
      pause_asked_.store(false, std::memory_order_release);
      pause_changed_.notify_all();
      return false;
    }
  }
  return true;
}

void Server::resume() {
  {
    platform::MutexLock guard(pause_lock_);
    pause_wanted_ = false;
    pause_asked_.store(false, std::memory_order_release);
    pause_changed_.notify_all();
  }
  // Whatever happened meanwhile (input, deadlines) is found by a pass now.
  poke();
}

void Server::park_if_asked() {
  if (!pause_asked_.load(std::memory_order_acquire)) return;
  platform::MutexLock guard(pause_lock_);
  if (!pause_wanted_) return;
  ++parked_;
  pause_changed_.notify_all();
  while (pause_wanted_) pause_changed_.wait(pause_lock_);
  --parked_;
}

void Server::note_first_pass() {
  const int threads = 1 + lobby_->room_limit();
  if (first_passes_.fetch_add(1, std::memory_order_acq_rel) + 1 != threads) return;
  first_passes_done_ns_.store(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                  std::chrono::steady_clock::now().time_since_epoch())
                                  .count(),
                              std::memory_order_release);
}

bool Server::drain_finished() const {
  platform::MutexLock guard(drain_lock_);
  return drain_finished_;
}

void Server::accept_thread() {
  platform::request_short_slice();
  Lobby& lobby = *lobby_;
  net::Listener& listener = *listener_;

  // The tables were prepared with the lobby (or restored into it); the
  // admin channel may read them already, so they are not written again
  // here. A restored lobby keeps its upstream link, its listener and what
  // it has read of the deny file, and has said all that once already.
  if (!restored_) {
    open_upstream(lobby, clock_->now_ms());
    lobby.deny_list.reload_if_changed();
    next_deny_look_ms_ = clock_->now_ms() + kDenyLookMs;
    if (lobby.settings.L_PROXY.count > 0) {
      char list[config::kProxyEntries * (net::kIpPrefixTextBytes + 2)];
      lobby.settings.L_PROXY.format(list, sizeof list);
      report_event(lobby.events, "proxies trusted (L_PROXY): %s", list);
    }
    try_listen(listener);
  } else if (listener.listening_socket() >= 0) {
    listening_port_.store(listener.bound_port(), std::memory_order_release);
    lobby.events->listening(listener.bound_port(), "");
  }

  bool first = true;
  while (server_running_.load(std::memory_order_acquire) == 1) {
    park_if_asked();
    if (server_running_.load(std::memory_order_acquire) != 1) break;
    if (listen_attempts_ > 0 && clock_->now_ms() >= next_listen_try_ms_) try_listen(listener);
    admission_->serve_held();
    // While a newcomer is held, or the proxies' connections fill the
    // table where they wait for their headers, later connections wait in
    // the backlog.
    const bool holding = admission_->holding() || proxy_stage_->full();
    // One wait for a connection, the upstream link (input, writability,
    // the end of a connect), a wake-up, a proxy's header, or the next
    // deadline.
    platform::WakeUp& wake = lobby.accept_wake;
    const bool may_sleep = wake.may_sleep();
    net::PollEntry entries[3 + kProxyWaiting];
    int n = 0;
    const bool listening = listener.listening_socket() >= 0;
    if (listening && !holding) entries[n++] = {listener.listening_socket(), net::kPollIn, 0};
    // Queued notices the kernel would take now (more than one flush's
    // worth, say) mean no sleep at all.
    bool upstream_sendable = false;
    if (upstream_wait_entry(lobby, &entries[n], &upstream_sendable)) ++n;
    const int wake_entry = wake.fd() >= 0 ? n : -1;
    if (wake_entry >= 0) entries[n++] = {wake.fd(), net::kPollIn, 0};
    const int first_header = n;
    n += proxy_stage_->add_poll_entries(&entries[n], kProxyWaiting);
    // Asked on every pass, so that the sink's deadlines are kept even while
    // queued notices leave no time to sleep.
    const int wait_ms = accept_wait_ms();
    const int ready = net::poll_many(entries, n, upstream_sendable || !may_sleep ? 0 : wait_ms);
    wake.woke(wake_entry >= 0 && ready > 0 && (entries[wake_entry].ready & net::kPollIn) != 0);

    // accept_pending reports a missing or failed listener by itself; with a
    // working one it is asked only when a connection waits.
    const bool waiting =
        !holding && (!listening || ready < 0 || (entries[0].ready & net::kPollIn) != 0);
    int accepted = waiting ? listener.accept_pending(0) : net::kAcceptNothing;
    if (accepted == net::kListenOk) {
      // A reload's L_PROXY applies from the next connection on.
      proxy_stage_->follow_settings();
      const net::IpAddress peer = listener.peer_address();
      const int socket = listener.take_accepted();
      if (proxy_stage_->trusts(peer)) {
        proxy_stage_->take(socket, peer, listener.accepted_port());
      } else {
        admission_->place_or_refuse(socket, peer, listener.accepted_port());
      }
    } else if (accepted == net::kAcceptFailed) {
      // A lasting failure (no descriptors left) must not flood the log.
      const int64_t now = clock_->now_ms();
      if (last_accept_error_ms_ < 0 || now - last_accept_error_ms_ >= kAcceptErrorLogMs) {
        last_accept_error_ms_ = now;
        report_event(lobby.events, "accept failed: %s", net::error_text(listener.last_error()));
      }
    }
    // A failed wait (ready < 0) leaves every waiting connection to its
    // deadline.
    proxy_stage_->serve(&entries[first_header], ready < 0 ? 0 : n - first_header);
    follow_reload();
    service_upstream(lobby, clock_->now_ms());
    check_drain();
    run_timers();
    accept_passes_.fetch_add(1, std::memory_order_release);
    if (first) note_first_pass();
    first = false;
  }
  admission_->close_held();
  proxy_stage_->close_all();
  listener.close_sockets();
}

void Server::try_listen(net::Listener& listener) {
  Lobby& lobby = *lobby_;
  const int port = lobby.settings.L_PORT & 0xffff;
  const int rc = listener.start_listening(lobby.settings.L_PORT);
  if (rc == net::kListenOk && !listener.listen_failed()) {
    if (listen_attempts_ > 0) {
      report_event(lobby.events, "listening on port %d after %d attempts", listener.bound_port(),
                   listen_attempts_ + 1);
    }
    listen_attempts_ = 0;
    listening_port_.store(listener.bound_port(), std::memory_order_release);
    lobby.events->listening(listener.bound_port(), "");
    return;
  }
  // Only the first failure is logged: a port held for hours must not fill
  // the log with a line every few seconds. The line of the success counts
  // the attempts.
  char reason[128];
  std::snprintf(reason, sizeof reason, "port %d: %s", port, net::error_text(listener.last_error()));
  if (listen_attempts_ == 0) {
    report_event(lobby.events, "listen on port %d failed (%d): %s", port, rc,
                 net::error_text(listener.last_error()));
    listening_port_.store(-1, std::memory_order_release);
    lobby.events->listening(-1, reason);
  }
  ++listen_attempts_;
  next_listen_try_ms_ = clock_->now_ms() + kListenRetryMs;
}

void Server::start_drain(int seconds) {
  const int64_t deadline = clock_->now_ms() + static_cast<int64_t>(seconds) * 1000;
  {
    platform::MutexLock guard(drain_lock_);
    lobby_->drain_deadline_ms.store(deadline, std::memory_order_release);
  }
  // The accept thread judges the drain on its next pass; the service
  // manager's status shows it at once.
  lobby_->wake_accept();
  lobby_->events->counts_changed();
}

int Server::cancel_drain() {
  {
    platform::MutexLock guard(drain_lock_);
    if (drain_finished_) return kDrainOver;
    if (lobby_->drain_deadline_ms.load(std::memory_order_acquire) < 0) return kNotDraining;
    lobby_->drain_deadline_ms.store(-1, std::memory_order_release);
  }
  lobby_->wake_accept();
  lobby_->events->counts_changed();
  return kDrainCancelled;
}

void Server::check_drain() {
  const int64_t deadline = lobby_->drain_deadline_ms.load(std::memory_order_acquire);
  if (deadline < 0 || drain_finished_) return;
  const int32_t left = lobby_->connected_count.load(std::memory_order_acquire);
  if (left > 0 && clock_->now_ms() < deadline) return;
  {
    platform::MutexLock guard(drain_lock_);
    // Cancelled since it was read.
    if (lobby_->drain_deadline_ms.load(std::memory_order_acquire) < 0) return;
    drain_finished_ = true;
  }
  if (left == 0) {
    report_event(lobby_->events, "drain finished: no client left");
  } else {
    report_event(lobby_->events, "drain finished: time is up with %d clients left", left);
  }
  lobby_->events->drain_finished();
}

void Server::follow_reload() {
  const uint32_t generation = lobby_->live.generation();
  if (generation == settings_generation_) return;
  settings_generation_ = generation;
  proxy_stage_->follow_settings();
  const config::Settings now = lobby_->live.current();
  move_upstream(*lobby_, now.N_IP, now.N_PORT, clock_->now_ms());
}

void Server::poke() {
  lobby_->wake_accept();
  lobby_->wake_workers();
}

void Server::run_timers() {
  const int64_t now = clock_->now_ms();
  next_login_deadline_ms_ = expire_logins(*lobby_, now);
  admission_->apply_auto_bans();
  if (now >= next_deny_look_ms_) {
    lobby_->deny_list.reload_if_changed();
    lobby_->auto_ban_table.expire(now);
    // From now, not from the missed time: a late pass looks once.
    next_deny_look_ms_ = now + kDenyLookMs;
  }
}

int Server::accept_wait_ms() {
  int wait = clock_->ms_until(next_deny_look_ms_);
  if (next_login_deadline_ms_ >= 0) {
    wait = shorter_wait(wait, clock_->ms_until(next_login_deadline_ms_));
  }
  const int64_t deadline = lobby_->upstream.deadline_ms();
  if (deadline >= 0) wait = shorter_wait(wait, clock_->ms_until(deadline));
  if (admission_->holding()) {
    wait = shorter_wait(wait, clock_->ms_until(admission_->held_deadline_ms()));
  }
  const int64_t header = proxy_stage_->next_deadline_ms();
  if (header >= 0) wait = shorter_wait(wait, clock_->ms_until(header));
  const int64_t drain = lobby_->drain_deadline_ms.load(std::memory_order_acquire);
  if (drain >= 0 && !drain_finished_) wait = shorter_wait(wait, clock_->ms_until(drain));
  if (listen_attempts_ > 0) wait = shorter_wait(wait, clock_->ms_until(next_listen_try_ms_));
  return shorter_wait(wait, lobby_->events->keeper_pass(clock_->now_ms()));
}

int Server::worker_wait_ms(int k) {
  int wait = worker_wait_ms_;
  const Lobby& lobby = *lobby_;
  int64_t now = -1;
  for (int j = 0; j < kSlotsPerWorker; ++j) {
    const ClientSlot& client = lobby.slots[k * kSlotsPerWorker + j];
    if (!client.is_open()) continue;
    // A clock advanced by hand gives no bound: it wakes the workers itself.
    if (client.flood.held()) {
      if (now < 0) now = clock_->now_ms();
      wait = shorter_wait(wait, clock_->ms_until(now + client.flood.ms_to_next_token(now)));
      continue;
    }
    // A line held back by its address's chat pace, or waiting for readers
    // that are to be judged by then (a reader that moves wakes it sooner).
    if (client.line_hold.load(std::memory_order_relaxed) != ClientSlot::LineHold::kFree) {
      wait = shorter_wait(wait, clock_->ms_until(client.line_hold_until_ms));
      continue;
    }
    const int64_t idle_at = idle_deadline_ms(lobby, client);
    if (idle_at >= 0) wait = shorter_wait(wait, clock_->ms_until(idle_at));
  }
  return wait;
}

void Server::wait_for_worker_pass(int k, bool readable[kSlotsPerWorker]) {
  Lobby& lobby = *lobby_;
  platform::WakeUp& wake = lobby.worker_wake[k];
  // Before anything is looked at: a post made after this wakes the worker,
  // and one made before is found below.
  bool pending = !wake.may_sleep();
  net::PollEntry entries[1 + kSlotsPerWorker];
  int slot_of[1 + kSlotsPerWorker];
  int n = 0;
  const int wake_fd = wake.fd();
  if (wake_fd >= 0) entries[n++] = {wake_fd, net::kPollIn, 0};
  for (int j = 0; j < kSlotsPerWorker; ++j) {
    // A slot opened after this wait began is tried at once.
    readable[j] = true;
    const ClientSlot& client = lobby.slots[k * kSlotsPerWorker + j];
    if (!client.is_open()) continue;
    pending = pending || has_pending_work(lobby, client);
    // A client held back (by flood pacing, its address's chat pace or room
    // in a ring) is left out of the wait, unread, so that TCP slows its
    // sender; the end of its hold bounds the wait, and its sends are tried
    // again with that pass.
    if (client.input_held()) {
      readable[j] = false;
      continue;
    }
    // A client whose sends the kernel refused is woken by writability, not
    // retried at once: one that stops reading must not make its worker spin.
    // While its input cannot be taken (its ring is full, or seats vacated
    // into its full queue must go first) only writability can move it on;
    // readiness for input would wake the worker for nothing, again and again.
    const bool input_waits = client.ring_full() || lobby.users[client.slot].vacated_seats.load(
                                                       std::memory_order_acquire) != 0;
    int events = net::kPollIn;
    if (input_waits) {
      events = net::kPollOut;
    } else if (client.send_blocked()) {
      events = net::kPollIn | net::kPollOut;
    }
    slot_of[n] = j;
    entries[n++] = {client.socket_fd(), events, 0};
  }
  const int timeout = pending ? 0 : worker_wait_ms(k);
  const int ready = net::poll_many(entries, n, timeout);
  if (ready == 0 && timeout > 0) worker_timeouts_[k].fetch_add(1, std::memory_order_release);
  const int first_slot_entry = wake_fd >= 0 ? 1 : 0;
  wake.woke(wake_fd >= 0 && ready > 0 && (entries[0].ready & net::kPollIn) != 0);
  // A failed wait (ready < 0) leaves every slot to its receive.
  for (int e = first_slot_entry; e < n && ready >= 0; ++e) {
    readable[slot_of[e]] = (entries[e].ready & net::kPollIn) != 0;
  }
}

void Server::worker_thread(int k) {
  // A pass is short and ends in sends that wake the receivers: see
  // platform/short_slice.h.
  platform::request_short_slice();
  Lobby& lobby = *lobby_;
  std::atomic<int64_t>& pass_started = lobby.worker_pass_started_ms[k];
  bool readable[kSlotsPerWorker];
  bool first = true;
  while (server_running_.load(std::memory_order_acquire) == 1) {
    park_if_asked();
    if (server_running_.load(std::memory_order_acquire) != 1) break;
    wait_for_worker_pass(k, readable);
    pass_started.store(clock_->now_ms(), std::memory_order_release);
    // Its clients that still wait for room in a ring note it again.
    forget_ring_waiter(lobby, k);
    if (WorkerPassHook hook = worker_pass_hook.load(std::memory_order_acquire)) hook(k);
    ClientSlot* open[kSlotsPerWorker];
    int opened = 0;
    for (int j = 0; j < kSlotsPerWorker; ++j) {
      ClientSlot& client = lobby.slots[k * kSlotsPerWorker + j];
      // The time is read for each slot, after the passes of the slots
      // before it: a message is never stamped earlier than it arrived, so
      // the idle limit never comes early.
      serve_client(lobby, client, readable[j], clock_->now_ms());
      if (client.is_open()) open[opened++] = &client;
    }
    // Every client's sends of the pass at once: the receivers are woken
    // together, and this thread runs on to its wait.
    flush_clients(open, opened);
    worker_passes_[k].fetch_add(1, std::memory_order_release);
    // Waiting for work is being well, however long it lasts.
    pass_started.store(-1, std::memory_order_release);
    if (first) note_first_pass();
    first = false;
  }
}

}  // namespace lobby
