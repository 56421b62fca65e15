// BenchConnection: one client connection of msgbench, non-blocking, in a BenchLoop. It
// connects, answers the greeting and logs in under its name (with a password when the server
// asks for one), then hands every packet to its observer; what is sent is queued and leaves
// at the end of the loop's turn. A connection object may be opened again after it has closed.
// Thread safety: the loop's thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/StreamSocket.h"

class BenchLoop;
class ConnectionObserver;

class BenchConnection {
 public:
  enum class State { Closed, Connecting, LoggingIn, Ready, Quitting };

  BenchConnection(BenchLoop& loop, ConnectionObserver& observer, std::string name, int index);
  ~BenchConnection();

  BenchConnection(const BenchConnection&) = delete;
  BenchConnection& operator=(const BenchConnection&) = delete;

  // Starts connecting to host:port to log in; false (state Closed, failure says why) when
  // even that fails, and false at once while a connection is still open. Clears what the
  // previous connection left.
  bool open(const char* host, std::uint16_t port, const std::string& password);
  // Takes over a connected socket that carries packets with no login: Ready at once. False
  // when it cannot be watched, or a connection is still open.
  bool adopt(std::unique_ptr<StreamSocket> socket);
  // Queues bytes to send; they leave at the end of the loop's turn.
  void send(const unsigned char* bytes, std::size_t size);
  // Queues QUIT; the connection then waits for the server's QUIT and close.
  void quit();
  // Closes at once; the observer hears of it.
  void close();

  // Called by the loop.
  void handle(std::uint32_t events);
  void flush();

  State state() const { return state_; }
  const std::string& name() const { return name_; }
  int index() const { return index_; }
  // Why the connection ended badly ("" when it did not).
  const std::string& failure() const { return failure_; }
  // The server refused the connection for lack of room (it may be tried again).
  bool refused() const { return refused_; }
  // The server sent QUIT (after ours, or of its own accord).
  bool quitReceived() const { return quitReceived_; }
  // Packets received on the current connection.
  std::uint64_t packetsReceived() const { return packetsReceived_; }
  // When the current connection's login completed (CONN arrived), on the BenchClock; 0 before.
  std::uint64_t readyAt() const { return readyAt_; }

 private:
  void fail(const std::string& why);
  void receive();
  void loginPacket(const unsigned char* image, std::size_t size);
  void sendLogin(const std::string& level);
  void watch(bool writable);

  BenchLoop& loop_;
  ConnectionObserver& observer_;
  std::string name_;
  int index_;
  std::string password_;
  std::unique_ptr<StreamSocket> socket_;
  State state_;
  std::string failure_;
  bool refused_;
  bool quitReceived_;
  bool flushWanted_;
  bool watchingWrites_;
  std::uint64_t packetsReceived_;
  std::uint64_t readyAt_;
  std::vector<unsigned char> inbox_;
  std::size_t inboxLength_;
  std::vector<unsigned char> outbox_;
  std::size_t outboxSent_;
};
