// The operator's admin channel as the process runs it: the channel of
// admin/ on its Unix-domain socket (a named pipe on Windows), with the
// event log's reopen, the moderation log's opening, the upgrade and the
// process's facts as its hooks. Main thread.
#ifndef APP_OPERATOR_CHANNEL_H_
#define APP_OPERATOR_CHANNEL_H_

#include <memory>

#include "admin/commands.h"
#include "config/settings.h"
#include "lobby/server.h"
#include "lobby/state_image.h"

namespace app {

class Upgrader;

class OperatorChannel {
 public:
  // Everything must outlive the channel. `reading`: what the reading of the
  // settings file found at the start (may be null); `upgrader` may be null
  // (no upgrades offered).
  OperatorChannel(lobby::Server& server, std::shared_ptr<const config::ConfigReading> reading,
                  const admin::ProcessFacts* facts, Upgrader* upgrader);
  // Stops the channel.
  ~OperatorChannel();
  OperatorChannel(const OperatorChannel&) = delete;
  OperatorChannel& operator=(const OperatorChannel&) = delete;

  // Opens the channel's socket: before the server threads start.
  void open();
  // Takes over the channel a program that upgraded to this one handed
  // over, in place of open().
  void adopt(const lobby::ProcessImage& image);
  // Serves it, once the server runs.
  void start();
  // Stops serving and removes the socket file.
  void stop();
  // Has the channel's thread run an upgrade to the default program (for
  // SIGUSR2); false when it does not run.
  bool request_upgrade();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace app

#endif  // APP_OPERATOR_CHANNEL_H_
