// The Windows twin of local_stream.cc: the local stream is a named pipe,
// \\.\pipe\lobby- followed by the path's file name (or the path as given
// when it names a pipe already), in byte mode.
//
// A pipe end is no socket: WSAPoll cannot wait for it and it has no
// non-blocking mode. Each end therefore keeps one overlapped read and one
// overlapped write under way, each with a buffer of its own and a
// manual-reset event, and the functions here turn their state into the
// readiness and the non-blocking results a socket gives: bytes read ahead
// make a stream readable, no write under way makes it writable, a send
// hands its bytes to the write and returns at once. local_poll waits for
// the events with WaitForMultipleObjects.
//
// Who may connect: the pipe is made with a security descriptor whose access
// list grants the process's own user alone (nothing for Everyone or
// Anonymous, which the default gives read access), refuses clients from
// other machines, and is the name's first instance: a name some other
// program holds already is never shared with it.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

#include "net/local_stream.h"

namespace net {
namespace {

constexpr char kPipePrefix[] = "\\\\.\\pipe\\";
constexpr char kLobbyPipePrefix[] = "\\\\.\\pipe\\lobby-";
// The longest pipe name Windows takes.
constexpr size_t kMaxPipeName = 256;
// Handles one process may hold at once. A lobby needs a listener, a
// wake-up and at most nine streams (eight clients and one being turned
// away); lobbyctl one stream; the tests a few lobbies' worth.
constexpr int kMaxHandles = 32;
// Each stream reads ahead into, and sends from, a buffer of its own.
constexpr int kStreamBufferBytes = 4096;
// What the pipe itself holds in each direction, beyond those buffers.
constexpr DWORD kPipeBufferBytes = 16 * 1024;
// A client waits this long at most for a busy server to take it.
constexpr ULONGLONG kConnectWaitMs = 1000;
// A listener that could not make its next instance tries again this often.
constexpr DWORD kInstanceRetryMs = 1000;
// An access list of one entry for one user.
constexpr DWORD kAclBytes =
    sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + SECURITY_MAX_SID_SIZE;

enum class Kind { kFree, kListener, kStream, kWake };

// One handle. A listener keeps the instance that waits for the next client
// (`pipe`, its connect under way in `read_op`); a stream its pipe end, a
// read and a write; a wake-up its event alone (`read_event`).
struct Entry {
  Kind kind = Kind::kFree;
  // Made at the entry's first use and kept for its later ones.
  HANDLE read_event = nullptr;
  HANDLE write_event = nullptr;

  HANDLE pipe = INVALID_HANDLE_VALUE;
  OVERLAPPED read_op;
  bool read_pending = false;
  // Bytes read ahead: in[in_taken, in_length) is not yet received.
  uint8_t in[kStreamBufferBytes];
  DWORD in_length = 0;
  DWORD in_taken = 0;
  // Set once reading ended: 0 when the peer closed, kIoError otherwise.
  bool read_ended = false;
  int read_end = 0;

  OVERLAPPED write_op;
  bool write_pending = false;
  bool write_failed = false;
  uint8_t out[kStreamBufferBytes];

  // Listener only.
  char name[kMaxPipeName + 1];
  bool connected = false;  // `pipe` has a client, not yet accepted
  SECURITY_ATTRIBUTES security;
  SECURITY_DESCRIPTOR descriptor;
  alignas(DWORD) unsigned char acl[kAclBytes];
  alignas(DWORD) unsigned char user[SECURITY_MAX_SID_SIZE];
};

// Filled once, never grown. An entry's kind changes only under
// g_table_lock; everything else in it belongs to the one thread that uses
// its handle (a wake-up's event may be set by any thread).
std::mutex g_table_lock;
Entry g_entries[kMaxHandles];

int allocate(Kind kind) {
  std::lock_guard<std::mutex> guard(g_table_lock);
  for (int i = 0; i < kMaxHandles; ++i) {
    Entry& e = g_entries[i];
    if (e.kind != Kind::kFree) continue;
    if (e.read_event == nullptr) e.read_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (e.write_event == nullptr) e.write_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (e.read_event == nullptr || e.write_event == nullptr) return -1;
    ResetEvent(e.read_event);
    ResetEvent(e.write_event);
    e.pipe = INVALID_HANDLE_VALUE;
    e.read_pending = false;
    e.in_length = 0;
    e.in_taken = 0;
    e.read_ended = false;
    e.read_end = 0;
    e.write_pending = false;
    e.write_failed = false;
    e.connected = false;
    e.kind = kind;
    return i;
  }
  return -1;
}

void release(int handle) {
  std::lock_guard<std::mutex> guard(g_table_lock);
  g_entries[handle].kind = Kind::kFree;
}

// The entry of `handle` when it is in use (and of `kind`, unless kFree is
// asked for, which takes any kind).
Entry* find(int handle, Kind kind) {
  if (handle < 0 || handle >= kMaxHandles) return nullptr;
  Entry& e = g_entries[handle];
  if (e.kind == Kind::kFree || (kind != Kind::kFree && e.kind != kind)) return nullptr;
  return &e;
}

// The pipe's name for `path` in `name`; false when it does not fit or
// names nothing.
bool pipe_name(const char* path, char name[kMaxPipeName + 1]) {
  const size_t prefix = sizeof kPipePrefix - 1;
  std::string full;
  if (_strnicmp(path, kPipePrefix, prefix) == 0) {
    full = path;
  } else {
    const char* base = path;
    for (const char* c = path; *c != '\0'; ++c) {
      if (*c == '/' || *c == '\\' || *c == ':') base = c + 1;
    }
    if (*base == '\0') return false;
    full = std::string(kLobbyPipePrefix) + base;
  }
  if (full.size() <= prefix || full.size() > kMaxPipeName) return false;
  std::memcpy(name, full.c_str(), full.size() + 1);
  return true;
}

void reset_op(OVERLAPPED* op, HANDLE event) {
  std::memset(op, 0, sizeof *op);
  op->hEvent = event;
}

// How a read that failed with `error` ends the stream: the peer's close is
// an end like a socket's, anything else an error.
void end_reading(Entry& e, DWORD error) {
  e.read_ended = true;
  e.read_end =
      (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA)
          ? 0
          : kIoError;
}

// Starts the next read ahead. REQUIRES: no read under way, nothing left
// unreceived.
void start_read(Entry& e) {
  e.in_length = 0;
  e.in_taken = 0;
  reset_op(&e.read_op, e.read_event);
  if (ReadFile(e.pipe, e.in, sizeof e.in, nullptr, &e.read_op)) {
    // Done at once; the result is collected as for one that waited.
    e.read_pending = true;
    return;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_IO_PENDING) {
    e.read_pending = true;
    return;
  }
  end_reading(e, error);
}

// Collects a read that has finished, without waiting.
void check_read(Entry& e) {
  if (!e.read_pending) return;
  DWORD n = 0;
  if (!GetOverlappedResult(e.pipe, &e.read_op, &n, FALSE)) {
    const DWORD error = GetLastError();
    if (error == ERROR_IO_INCOMPLETE) return;
    e.read_pending = false;
    end_reading(e, error);
    return;
  }
  e.read_pending = false;
  e.in_length = n;
  // A write of no bytes completes a read with none: read on.
  if (n == 0) start_read(e);
}

void check_write(Entry& e) {
  if (!e.write_pending) return;
  DWORD n = 0;
  if (GetOverlappedResult(e.pipe, &e.write_op, &n, FALSE)) {
    e.write_pending = false;
  } else if (GetLastError() != ERROR_IO_INCOMPLETE) {
    e.write_pending = false;
    e.write_failed = true;
  }
}

// Waits for the end of an operation that was cancelled: its buffer and
// OVERLAPPED are in use until then.
void finish_cancelled(HANDLE pipe, OVERLAPPED* op) {
  DWORD n = 0;
  GetOverlappedResult(pipe, op, &n, TRUE);
}

// The access list of the listener's pipes: full control for the process's
// user, nobody else. 0, or the system's error code.
DWORD make_owner_only(Entry& e) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return GetLastError();
  alignas(DWORD) unsigned char token_user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  const BOOL have_user =
      GetTokenInformation(token, TokenUser, token_user, sizeof token_user, &size);
  const DWORD token_error = have_user ? 0 : GetLastError();
  CloseHandle(token);
  if (token_error != 0) return token_error;
  PSID user_sid = reinterpret_cast<TOKEN_USER*>(token_user)->User.Sid;
  PACL acl = reinterpret_cast<PACL>(e.acl);
  if (!CopySid(sizeof e.user, e.user, user_sid) ||
      !InitializeAcl(acl, sizeof e.acl, ACL_REVISION) ||
      !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, e.user) ||
      !InitializeSecurityDescriptor(&e.descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&e.descriptor, TRUE, acl, FALSE)) {
    return GetLastError();
  }
  e.security.nLength = sizeof e.security;
  e.security.lpSecurityDescriptor = &e.descriptor;
  e.security.bInheritHandle = FALSE;
  return 0;
}

// Makes the listener's next instance and starts waiting for a client on
// it. 0, or the system's error code (the listener then has no instance).
DWORD make_instance(Entry& e, bool first) {
  e.connected = false;
  e.read_pending = false;
  e.pipe = CreateNamedPipeA(
      e.name,
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      PIPE_UNLIMITED_INSTANCES, kPipeBufferBytes, kPipeBufferBytes, 0, &e.security);
  if (e.pipe == INVALID_HANDLE_VALUE) return GetLastError();
  reset_op(&e.read_op, e.read_event);
  if (ConnectNamedPipe(e.pipe, &e.read_op)) {
    e.connected = true;
    return 0;
  }
  DWORD error = GetLastError();
  if (error == ERROR_IO_PENDING) {
    e.read_pending = true;
    return 0;
  }
  if (error == ERROR_PIPE_CONNECTED) {
    e.connected = true;
    return 0;
  }
  CloseHandle(e.pipe);
  e.pipe = INVALID_HANDLE_VALUE;
  return error;
}

// Collects a client that has connected, without waiting; an instance whose
// client has gone again is replaced.
void check_connect(Entry& e) {
  if (e.pipe == INVALID_HANDLE_VALUE) {
    make_instance(e, false);
    return;
  }
  if (!e.read_pending) return;
  DWORD n = 0;
  if (GetOverlappedResult(e.pipe, &e.read_op, &n, FALSE)) {
    e.read_pending = false;
    e.connected = true;
    return;
  }
  if (GetLastError() == ERROR_IO_INCOMPLETE) return;
  e.read_pending = false;
  CloseHandle(e.pipe);
  make_instance(e, false);
}

// The ready bits of one entry of a wait.
int ready_bits(const PollEntry& asked) {
  Entry* e = find(asked.fd, Kind::kFree);
  // A handle that is not there counts as readable, as poll's POLLNVAL.
  if (e == nullptr) return kPollIn;
  int ready = 0;
  switch (e->kind) {
    case Kind::kWake:
      if ((asked.events & kPollIn) && WaitForSingleObject(e->read_event, 0) == WAIT_OBJECT_0) {
        ready |= kPollIn;
      }
      break;
    case Kind::kListener:
      if (asked.events & kPollIn) {
        check_connect(*e);
        if (e->connected) ready |= kPollIn;
      }
      break;
    case Kind::kStream:
      if (asked.events & kPollIn) {
        check_read(*e);
        if (e->in_taken < e->in_length || e->read_ended) ready |= kPollIn;
      }
      if (asked.events & kPollOut) {
        check_write(*e);
        if (!e->write_pending) ready |= kPollOut;
      }
      break;
    case Kind::kFree:
      break;
  }
  return ready;
}

int collect_ready(PollEntry* entries, int count) {
  int ready = 0;
  for (int i = 0; i < count; ++i) {
    entries[i].ready = ready_bits(entries[i]);
    if (entries[i].ready != 0) ++ready;
  }
  return ready;
}

}  // namespace

std::string local_address(const char* path) {
  char name[kMaxPipeName + 1];
  return pipe_name(path, name) ? std::string(name) : std::string(path);
}

// One instance waits for the next client at a time, whatever the backlog:
// a client that finds it taken waits for the next (local_connect).
int local_listen(const char* path, int /*backlog*/, uint64_t /*identity*/[2], int* error) {
  *error = 0;
  char name[kMaxPipeName + 1];
  if (!pipe_name(path, name)) return kLocalNameTooLong;
  const int handle = allocate(Kind::kListener);
  if (handle < 0) {
    *error = ERROR_TOO_MANY_OPEN_FILES;
    return kLocalFailed;
  }
  Entry& e = g_entries[handle];
  std::memcpy(e.name, name, sizeof name);
  // A name that has a server already is never shared. The first
  // instance's flag says so where it is enforced (not under Wine); asking
  // for the pipe tells anywhere: it succeeds when an instance is free,
  // times out after the millisecond when every instance is busy, and fails
  // at once when there is no such pipe.
  if (WaitNamedPipeA(name, 1) || GetLastError() == ERROR_SEM_TIMEOUT) {
    release(handle);
    return kLocalInUse;
  }
  DWORD failed = make_owner_only(e);
  if (failed == 0) failed = make_instance(e, true);
  if (failed == 0) return handle;
  release(handle);
  // The first instance of a name that exists already is refused: another
  // lobby, or some other program, holds it.
  if (failed == ERROR_ACCESS_DENIED || failed == ERROR_PIPE_BUSY) return kLocalInUse;
  *error = static_cast<int>(failed);
  return kLocalFailed;
}

void local_unlisten(int listener, const char* /*path*/, const uint64_t /*identity*/[2]) {
  local_close(listener);
}

bool local_peer_is_owner(int /*handle*/) { return true; }

int local_accept(int listener) {
  Entry* e = find(listener, Kind::kListener);
  if (e == nullptr) return -1;
  check_connect(*e);
  if (!e->connected) return kIoWouldBlock;
  const int handle = allocate(Kind::kStream);
  HANDLE client = e->pipe;
  // The next client gets an instance of its own; should none be had now,
  // the listener tries again when it is next asked.
  make_instance(*e, false);
  if (handle < 0) {
    // No room in the table: the client is let go.
    CloseHandle(client);
    return -1;
  }
  Entry& stream = g_entries[handle];
  stream.pipe = client;
  start_read(stream);
  return handle;
}

std::string local_peer_user(int handle) {
  Entry* e = find(handle, Kind::kStream);
  if (e == nullptr) return "unknown";
  // The pipe server may take on its client's identity for a moment: the
  // name is the client's user, then the thread is itself again.
  if (ImpersonateNamedPipeClient(e->pipe) == 0) return "unknown";
  char name[257] = {};
  DWORD size = sizeof name;
  const bool named = GetUserNameA(name, &size) != 0;
  RevertToSelf();
  return named ? std::string(name) : std::string("unknown");
}

int local_connect(const char* path, int* error) {
  *error = 0;
  char name[kMaxPipeName + 1];
  if (!pipe_name(path, name)) {
    *error = ERROR_FILENAME_EXCED_RANGE;
    return -1;
  }
  const ULONGLONG deadline = GetTickCount64() + kConnectWaitMs;
  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (;;) {
    // Identification only: the server may learn who connects, never act
    // as this user.
    pipe = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                       nullptr);
    if (pipe != INVALID_HANDLE_VALUE) break;
    const DWORD failed = GetLastError();
    const ULONGLONG now = GetTickCount64();
    if (failed != ERROR_PIPE_BUSY || now >= deadline) {
      *error = static_cast<int>(failed);
      return -1;
    }
    // Every instance has a client: wait for the server's next one.
    WaitNamedPipeA(name, static_cast<DWORD>(deadline - now));
  }
  const int handle = allocate(Kind::kStream);
  if (handle < 0) {
    CloseHandle(pipe);
    *error = ERROR_TOO_MANY_OPEN_FILES;
    return -1;
  }
  g_entries[handle].pipe = pipe;
  start_read(g_entries[handle]);
  return handle;
}

int local_recv(int handle, uint8_t* buffer, int size) {
  Entry* e = find(handle, Kind::kStream);
  if (e == nullptr) return kIoError;
  check_read(*e);
  if (e->in_taken < e->in_length) {
    const DWORD n = std::min(static_cast<DWORD>(size), e->in_length - e->in_taken);
    std::memcpy(buffer, e->in + e->in_taken, n);
    e->in_taken += n;
    if (e->in_taken == e->in_length) start_read(*e);
    return static_cast<int>(n);
  }
  if (e->read_ended) return e->read_end;
  return kIoWouldBlock;
}

int local_send(int handle, const uint8_t* bytes, int length) {
  Entry* e = find(handle, Kind::kStream);
  if (e == nullptr) return kIoError;
  check_write(*e);
  if (e->write_failed) return kIoError;
  if (e->write_pending) return kIoWouldBlock;
  if (length <= 0) return 0;
  const DWORD n = std::min(static_cast<DWORD>(length), static_cast<DWORD>(sizeof e->out));
  std::memcpy(e->out, bytes, n);
  reset_op(&e->write_op, e->write_event);
  // Taken once the write has started: like a socket's send buffer, the
  // stream's own buffer holds the bytes until the pipe has them.
  if (WriteFile(e->pipe, e->out, n, nullptr, &e->write_op) || GetLastError() == ERROR_IO_PENDING) {
    e->write_pending = true;
    return static_cast<int>(n);
  }
  e->write_failed = true;
  return kIoError;
}

int local_make_wake() { return allocate(Kind::kWake); }

void local_wake(int handle) {
  Entry* e = find(handle, Kind::kWake);
  if (e != nullptr) SetEvent(e->read_event);
}

void local_drain_wake(int handle) {
  Entry* e = find(handle, Kind::kWake);
  if (e != nullptr) ResetEvent(e->read_event);
}

int local_poll(PollEntry* entries, int count, int timeout_ms) {
  const int ready = collect_ready(entries, count);
  if (ready > 0 || timeout_ms == 0) return ready;
  HANDLE waits[MAXIMUM_WAIT_OBJECTS];
  DWORD n = 0;
  DWORD wait_ms = timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms);
  for (int i = 0; i < count && n + 2 <= MAXIMUM_WAIT_OBJECTS; ++i) {
    Entry* e = find(entries[i].fd, Kind::kFree);
    if (e == nullptr) continue;
    const bool in = (entries[i].events & kPollIn) != 0;
    const bool out = (entries[i].events & kPollOut) != 0;
    switch (e->kind) {
      case Kind::kWake:
        if (in) waits[n++] = e->read_event;
        break;
      case Kind::kListener:
        if (in && e->pipe != INVALID_HANDLE_VALUE) waits[n++] = e->read_event;
        if (in && e->pipe == INVALID_HANDLE_VALUE) wait_ms = std::min(wait_ms, kInstanceRetryMs);
        break;
      case Kind::kStream:
        if (in && e->read_pending) waits[n++] = e->read_event;
        if (out && e->write_pending) waits[n++] = e->write_event;
        break;
      case Kind::kFree:
        break;
    }
  }
  if (n == 0) {
    // Nothing could end the wait but its time.
    if (wait_ms == INFINITE) return -1;
    Sleep(wait_ms);
  } else if (WaitForMultipleObjects(n, waits, FALSE, wait_ms) == WAIT_FAILED) {
    return -1;
  }
  return collect_ready(entries, count);
}

void local_close(int handle) {
  Entry* e = find(handle, Kind::kFree);
  if (e == nullptr) return;
  if (e->pipe != INVALID_HANDLE_VALUE) {
    // Operations under way end before their buffers are given up. Bytes a
    // finished write put into the pipe stay readable by the peer.
    if (e->read_pending || e->write_pending) CancelIoEx(e->pipe, nullptr);
    if (e->read_pending) finish_cancelled(e->pipe, &e->read_op);
    if (e->write_pending) finish_cancelled(e->pipe, &e->write_op);
    CloseHandle(e->pipe);
    e->pipe = INVALID_HANDLE_VALUE;
  }
  release(handle);
}

// A pipe has no group to share it with: it keeps its security
// descriptor of the lobby's user alone.
int local_share_with_group(const char*, const char*, int* error) {
  *error = ERROR_NOT_SUPPORTED;
  return kLocalFailed;
}

}  // namespace net
