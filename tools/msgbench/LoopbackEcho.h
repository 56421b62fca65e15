// LoopbackEcho: the far end of the direct scenario: a thread of its own that sends back every
// byte it receives on one connection, with blocking calls, as a thread-per-connection server
// would, until the connection closes.
// Thread safety: the object is made and destroyed by one thread; the echo runs on its own.
#pragma once

#include <memory>
#include <thread>

#include "platform/StreamSocket.h"

class LoopbackEcho {
 public:
  // Starts echoing on the connected socket.
  explicit LoopbackEcho(std::unique_ptr<StreamSocket> socket);
  // Ends the connection (if the other end has not) and waits for the thread.
  ~LoopbackEcho();

  LoopbackEcho(const LoopbackEcho&) = delete;
  LoopbackEcho& operator=(const LoopbackEcho&) = delete;

 private:
  void run();

  std::unique_ptr<StreamSocket> socket_;
  std::thread thread_;
};
