// The Windows twin of unix_socket.cc: AF_UNIX stream sockets through
// Winsock, which Windows 10 (version 1803 on) provides. Elsewhere (an older
// Windows, or Wine) socket() fails with WSAEAFNOSUPPORT and the channel is
// off, its cause in the log.
//
// Windows has no umask: the socket file is made with the access list it
// inherits from its directory. The listener therefore sets the file's list
// to the process's own user alone, nothing inherited, after bind and
// before listen, so that no connection is ever accepted while the file
// carries wider rights; when that fails the socket is not served.
//
// A socket file is a reparse point of its own tag: it is opened as such,
// never followed.
// Winsock first: windows.h would otherwise bring in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
// (after them)
#include <aclapi.h>
#include <afunix.h>
#include <windows.h>

#include <cstring>
#include <memory>

#include "net/socket_ops.h"
#include "net/unix_socket.h"

namespace net {
namespace {

// The reparse tag of an AF_UNIX socket file.
constexpr DWORD kAfUnixReparseTag = 0x80000023;
// A connect still under way after the call is waited for this long at
// most: a listener that does not take it by then counts as not answering.
constexpr int kConnectWaitMs = 1000;

SOCKET handle(int fd) { return static_cast<SOCKET>(static_cast<uintptr_t>(fd)); }

// False when `path` does not fit sun_path with its terminating zero.
bool fill_address(const char* path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  const size_t length = std::strlen(path);
  if (length == 0 || length >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path, length);
  return true;
}

// Closes `s` and keeps the error of the call that failed before.
void close_keeping_error(SOCKET s) {
  const int saved = WSAGetLastError();
  closesocket(s);
  WSASetLastError(saved);
}

// The file itself, never what it might point to; 0 access reads only its
// attributes, WRITE_DAC changes its access list.
HANDLE open_entry(const char* path, DWORD access) {
  return CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                     nullptr);
}

bool is_socket_file(const char* path) {
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(path, &found);
  if (search == INVALID_HANDLE_VALUE) return false;
  FindClose(search);
  return (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         found.dwReserved0 == kAfUnixReparseTag;
}

// Gives the file at `path` an access list of one entry, full control for
// the process's user, and nothing inherited from its directory. 0, or a
// system error code.
DWORD restrict_to_owner(const char* path) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return GetLastError();
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::unique_ptr<char[]> user_bytes(new char[size > 0 ? size : 1]);
  const BOOL have_user = GetTokenInformation(token, TokenUser, user_bytes.get(), size, &size);
  DWORD error = have_user ? 0 : GetLastError();
  CloseHandle(token);
  if (error != 0) return error;
  PSID user = reinterpret_cast<TOKEN_USER*>(user_bytes.get())->User.Sid;

  const DWORD acl_size =
      sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(user);
  std::unique_ptr<char[]> acl_bytes(new char[acl_size]);
  PACL acl = reinterpret_cast<PACL>(acl_bytes.get());
  if (!InitializeAcl(acl, acl_size, ACL_REVISION) ||
      !AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, user)) {
    return GetLastError();
  }
  HANDLE file = open_entry(path, WRITE_DAC | READ_CONTROL);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  error = SetSecurityInfo(file, SE_FILE_OBJECT,
                          DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, acl, nullptr);
  CloseHandle(file);
  return error;
}

}  // namespace

int unix_listen(const char* path, int backlog, int* error) {
  *error = 0;
  sockaddr_un addr;
  if (!fill_address(path, &addr)) return kUnixPathTooLong;
  SOCKET s = WSASocketW(AF_UNIX, SOCK_STREAM, 0, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) {
    *error = WSAGetLastError();
    return kUnixFailed;
  }
  int rc = ::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  if (rc != 0 && WSAGetLastError() == WSAEADDRINUSE) {
    // Something is there. Only a socket file is ever removed, and only when
    // a connection to it is refused: nobody listens on it any more.
    if (!is_socket_file(path)) {
      closesocket(s);
      return kUnixNotSocket;
    }
    const int probe = unix_connect(path);
    const int probe_error = WSAGetLastError();
    if (probe >= 0 || probe_error != WSAECONNREFUSED) {
      close_fd(probe);
      closesocket(s);
      return kUnixInUse;
    }
    DeleteFileA(path);
    rc = ::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  }
  if (rc != 0) {
    *error = WSAGetLastError();
    closesocket(s);
    return kUnixFailed;
  }
  u_long on = 1;
  const DWORD restricted = restrict_to_owner(path);
  if (restricted != 0 || ioctlsocket(s, FIONBIO, &on) != 0 || ::listen(s, backlog) != 0) {
    *error = restricted != 0 ? static_cast<int>(restricted) : WSAGetLastError();
    closesocket(s);
    DeleteFileA(path);
    return kUnixFailed;
  }
  return static_cast<int>(s);
}

int unix_connect(const char* path) {
  sockaddr_un addr;
  if (!fill_address(path, &addr)) {
    WSASetLastError(WSAENAMETOOLONG);
    return -1;
  }
  SOCKET s = WSASocketW(AF_UNIX, SOCK_STREAM, 0, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return -1;
  u_long on = 1;
  if (ioctlsocket(s, FIONBIO, &on) != 0) {
    close_keeping_error(s);
    return -1;
  }
  if (::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
    return static_cast<int>(s);
  }
  if (WSAGetLastError() != WSAEWOULDBLOCK) {
    close_keeping_error(s);
    return -1;
  }
  // Winsock may finish a connect after the call even on one machine.
  int error = 0;
  const int rc = connect_finish(static_cast<int>(s), kConnectWaitMs, &error);
  if (rc == 0) return static_cast<int>(s);
  closesocket(s);
  WSASetLastError(rc == kConnectPending ? WSAETIMEDOUT : error);
  return -1;
}

int unix_accept(int listen_fd) {
  SOCKET s = ::accept(handle(listen_fd), nullptr, nullptr);
  if (s == INVALID_SOCKET) {
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAEINTR || error == WSAECONNRESET) {
      return kIoWouldBlock;
    }
    return -1;
  }
  // Not trusted to inherit the listener's mode (see accept_ipv4).
  u_long on = 1;
  ioctlsocket(s, FIONBIO, &on);
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return static_cast<int>(s);
}

int file_identity(const char* path, uint64_t identity[2]) {
  HANDLE file = open_entry(path, 0);
  if (file == INVALID_HANDLE_VALUE) return -1;
  BY_HANDLE_FILE_INFORMATION info;
  const BOOL ok = GetFileInformationByHandle(file, &info);
  CloseHandle(file);
  if (!ok) return -1;
  identity[0] = info.dwVolumeSerialNumber;
  identity[1] = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return 0;
}

int remove_if_same(const char* path, const uint64_t identity[2]) {
  uint64_t now[2];
  if (file_identity(path, now) != 0 || now[0] != identity[0] || now[1] != identity[1]) return -1;
  return DeleteFileA(path) ? 0 : -1;
}

// Windows has no such groups: the socket keeps its access list of the
// lobby's user alone.
int unix_share_with_group(const char*, const char*, int* error) {
  *error = ERROR_NOT_SUPPORTED;
  return kUnixFailed;
}

}  // namespace net
