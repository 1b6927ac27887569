// The operator's admin channel as the process runs it: the channel of
// admin/ on its Unix-domain socket (a named pipe on Windows), with the
// event log's reopen and the moderation log's opening as its hooks. Main
// thread.
#ifndef APP_OPERATOR_CHANNEL_H_
#define APP_OPERATOR_CHANNEL_H_

#include <memory>

#include "config/settings.h"
#include "lobby/server.h"

namespace app {

class OperatorChannel {
 public:
  // `server` must outlive the channel. `reading`: what the reading of the
  // settings file found at the start (may be null).
  OperatorChannel(lobby::Server& server, std::shared_ptr<const config::ConfigReading> reading);
  // Stops the channel.
  ~OperatorChannel();
  OperatorChannel(const OperatorChannel&) = delete;
  OperatorChannel& operator=(const OperatorChannel&) = delete;

  // Opens the channel's socket: before the server threads start.
  void open();
  // Serves it, once the server runs.
  void start();
  // Stops serving and removes the socket file.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace app

#endif  // APP_OPERATOR_CHANNEL_H_
