#include "app/operator_channel.h"

#include "admin/admin_channel.h"
#include "app/event_log.h"
#include "app/upgrade.h"

namespace app {

struct OperatorChannel::Impl {
  Impl(lobby::Server& server, admin::AdminHooks hooks) : channel(server, std::move(hooks)) {}
  admin::AdminChannel channel;
  bool open = false;
};

OperatorChannel::OperatorChannel(lobby::Server& server,
                                 std::shared_ptr<const config::ConfigReading> reading,
                                 const admin::ProcessFacts* facts, Upgrader* upgrader) {
  admin::AdminHooks hooks;
  hooks.reopen_log = reopen_log;
  hooks.facts = facts;
  if (upgrader != nullptr) {
    hooks.upgrade = [upgrader](const std::string& program, const lobby::ProcessImage& admin) {
      return upgrader->hand_over(program, admin);
    };
  }
  lobby::Lobby& lobby = server.lobby();
  // L_CHAT_LOG and L_CHARSET as a reload leaves them.
  hooks.chat_log = [&lobby](const std::string& path) {
    return open_chat_log(path.c_str(), lobby.live.current().L_CHARSET);
  };
  hooks.start_reading = std::move(reading);
  impl_ = std::make_unique<Impl>(server, std::move(hooks));
}

OperatorChannel::~OperatorChannel() { stop(); }

// The socket is made under a umask, which no other thread may see.
void OperatorChannel::open() { impl_->open = impl_->channel.open() == 0; }

void OperatorChannel::adopt(const lobby::ProcessImage& image) {
  impl_->open = impl_->channel.adopt(image) == 0;
}

void OperatorChannel::start() {
  if (impl_->open) impl_->channel.start();
}

void OperatorChannel::stop() { impl_->channel.stop(); }

bool OperatorChannel::request_upgrade() { return impl_->channel.request_upgrade(); }

}  // namespace app
