// The operator's admin channel as the process runs it: the channel of
// admin/ on its Unix-domain socket (a named pipe on Windows), with the
// event log's reopen as its hook. Main thread.
#ifndef APP_OPERATOR_CHANNEL_H_
#define APP_OPERATOR_CHANNEL_H_

#include <memory>

#include "lobby/server.h"

namespace app {

class OperatorChannel {
 public:
  // `server` must outlive the channel.
  explicit OperatorChannel(lobby::Server& server);
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
