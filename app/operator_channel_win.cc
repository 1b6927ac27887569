// The Windows twin of operator_channel.cc: no admin channel yet (it needs
// a Unix-domain socket, iconv and a JSON library in the cross build).
#include <string>

#include "app/operator_channel.h"
#include "config/settings.h"
#include "lobby/lobby_events.h"

namespace app {

struct OperatorChannel::Impl {
  explicit Impl(lobby::Server& s) : server(s) {}
  lobby::Server& server;
};

OperatorChannel::OperatorChannel(lobby::Server& server) : impl_(std::make_unique<Impl>(server)) {}

OperatorChannel::~OperatorChannel() = default;

void OperatorChannel::open() {
  lobby::Lobby& lobby = impl_->server.lobby();
  if (std::string(lobby.settings.L_ADMIN) == config::kAdminOff) return;
  lobby::report_event(lobby.events, "admin channel off: not available in the Windows build");
}

void OperatorChannel::start() {}

void OperatorChannel::stop() {}

}  // namespace app
