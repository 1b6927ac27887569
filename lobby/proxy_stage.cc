#include "lobby/proxy_stage.h"

namespace lobby {

ProxyStage::ProxyStage(Lobby& lobby, Admission& admission, Clock& clock)
    : lobby_(lobby),
      admission_(admission),
      clock_(clock),
      proxies_(lobby.settings.L_PROXY),
      settings_generation_(lobby.live.generation()) {}

void ProxyStage::follow_settings() {
  const uint32_t generation = lobby_.live.generation();
  if (generation == settings_generation_) return;
  settings_generation_ = generation;
  const config::ProxyList next = lobby_.live.current().L_PROXY;
  if (next == proxies_) return;
  proxies_ = next;
  char list[config::kProxyEntries * (net::kIpPrefixTextBytes + 2)];
  proxies_.format(list, sizeof list);
  report_event(lobby_.events, "proxies trusted (L_PROXY): %s", proxies_.count > 0 ? list : "none");
}

void ProxyStage::take(int socket, const net::IpAddress& proxy, int32_t port) {
  for (Waiting& entry : entries_) {
    if (entry.socket >= 0) continue;
    entry.socket = socket;
    entry.proxy = proxy;
    entry.port = port;
    entry.deadline_ms = clock_.now_ms() + kProxyHeaderWaitMs;
    entry.whole = false;
    entry.length = 0;
    ++waiting_;
    // A proxy sends its header as it connects: it is usually here already.
    read_into(entry);
    return;
  }
  // Not reached while the caller keeps to !full(); a connection with
  // nowhere to wait is not kept waiting.
  admission_.refuse(socket, kRefusedBadProxyHeader, proxy);
}

int ProxyStage::add_poll_entries(net::PollEntry* entries, int room) {
  int n = 0;
  for (int i = 0; i < kProxyWaiting && n < room; ++i) {
    const Waiting& entry = entries_[i];
    // A whole header waits unread: its socket's input would only wake the
    // thread for nothing.
    if (entry.socket < 0 || entry.whole) continue;
    polled_[n] = i;
    entries[n++] = {entry.socket, net::kPollIn, 0};
  }
  return n;
}

void ProxyStage::serve(const net::PollEntry* entries, int count) {
  if (!admission_.holding()) {
    for (Waiting& entry : entries_) {
      if (entry.socket >= 0 && entry.whole && !admission_.holding()) hand_on(entry);
    }
  }
  for (int e = 0; e < count; ++e) {
    Waiting& entry = entries_[polled_[e]];
    if ((entries[e].ready & net::kPollIn) != 0 && entry.socket >= 0 && !entry.whole) {
      read_into(entry);
    }
  }
  const int64_t now = clock_.now_ms();
  for (Waiting& entry : entries_) {
    if (entry.socket >= 0 && !entry.whole && now >= entry.deadline_ms) refuse(entry);
  }
}

int64_t ProxyStage::next_deadline_ms() const {
  int64_t next = -1;
  auto sooner = [&next](int64_t at) {
    if (next < 0 || at < next) next = at;
  };
  for (const Waiting& entry : entries_) {
    if (entry.socket < 0) continue;
    // A whole header is handed on as soon as Admission holds nobody; its
    // hold's own end bounds the wait meanwhile.
    if (!entry.whole) {
      sooner(entry.deadline_ms);
    } else if (!admission_.holding()) {
      sooner(clock_.now_ms());
    }
  }
  return next;
}

void ProxyStage::close_all() {
  for (Waiting& entry : entries_) {
    if (entry.socket < 0) continue;
    net::close_fd(entry.socket);
    release(entry);
  }
}

void ProxyStage::read_into(Waiting& entry) {
  const int n = net::recv_nb(entry.socket, entry.bytes + entry.length,
                             net::kProxyHeaderMaxBytes - entry.length);
  if (n == net::kIoWouldBlock) return;
  if (n <= 0) {
    // Gone before its header: a probe that only looked whether the port
    // answers, unless it had begun a header.
    if (entry.length == 0) {
      health_check(entry, "closed without a header");
    } else {
      refuse(entry);
    }
    return;
  }
  entry.length += n;
  const int rc = net::read_proxy_header(entry.bytes, entry.length, &entry.header);
  if (rc == net::kProxyBad) {
    refuse(entry);
  } else if (rc == net::kProxyComplete) {
    whole_header(entry);
  }
  // Incomplete: the reader never asks for more than the buffer holds, so
  // a header that could still come whole has room to.
}

void ProxyStage::whole_header(Waiting& entry) {
  const net::ProxyHeader& header = entry.header;
  if (header.command == net::ProxyCommand::kLocal) {
    health_check(entry, "LOCAL");
    return;
  }
  // A trusted proxy's own address is no client's: HAProxy's checks under
  // version 1 name the proxy itself.
  if (header.has_address() && proxies_.covers(header.source)) {
    health_check(entry, "a header naming a trusted proxy");
    return;
  }
  entry.whole = true;
  if (!admission_.holding()) hand_on(entry);
}

void ProxyStage::hand_on(Waiting& entry) {
  const net::ProxyHeader& header = entry.header;
  PeerInfo client;
  if (header.has_address()) {
    client.addr = header.source;
    client.port = header.source_port;
  } else {
    client.addr = entry.proxy;
    client.port = entry.port;
    client.proxy_itself = true;
  }
  client.first_bytes = entry.bytes + header.length;
  client.first_length = entry.length - header.length;
  const int socket = entry.socket;
  release(entry);
  admission_.place_or_refuse(socket, client);
}

void ProxyStage::refuse(Waiting& entry) {
  const int socket = entry.socket;
  const net::IpAddress proxy = entry.proxy;
  release(entry);
  admission_.refuse(socket, kRefusedBadProxyHeader, proxy);
}

void ProxyStage::health_check(Waiting& entry, const char* what) {
  const net::IpAddress proxy = entry.proxy;
  net::close_fd(entry.socket);
  release(entry);
  char address[net::kIpTextBytes];
  proxy.format(address);
  report_health_check(lobby_.events, proxy, "proxy %s: health check (%s)", address, what);
}

void ProxyStage::release(Waiting& entry) {
  entry.socket = -1;
  entry.whole = false;
  entry.length = 0;
  --waiting_;
}

}  // namespace lobby
