// Session: one client's life on the server once its connection is open: what it does with
// every packet that is not part of the login dialogue (notices, the user list and its changes,
// messages from other users, the server's QUIT), what it sends, and the thread that reads the
// connection after login while the main thread reads the person's input.
// Thread safety: handle runs on the one receiving thread (the main thread during login, the
// reader thread after startReading); every other operation may be called from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Connection.h"
#include "Roster.h"
#include "Screen.h"

namespace msgclient {

class Session {
 public:
  enum class SendResult { Sent, TooLong, Failed };

  // The notice that the server sends back for each unknown recipient of a PRIV or MAIL.
  static constexpr const char* UNDELIVERABLE_PREFIX = "Could not deliver message to ";

  Session(Connection& connection, Screen& screen);
  // Ends the connection and waits for the reader thread.
  ~Session();

  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Shows or records one packet that arrived. Before loggedIn, the user list and its changes
  // are recorded silently (the list is shown whole once the login is complete).
  void handle(const Packet& packet);
  // The login is complete under this name: later packets carry it as their sender.
  void loggedIn(const std::string& name);
  // Starts the thread that receives and handles packets until the connection ends.
  void startReading();

  // Sends a PRIV or MAIL (type) to the recipients. A PRIV or MAIL to named users makes them
  // the target of lines without a command.
  SendResult sendRouted(const char (&type)[5], const std::vector<std::string>& recipients,
                        const std::string& body);
  // Sends QUIT; the server answers with its own QUIT and closes. False when it cannot be sent.
  bool quit();
  // Waits until the connection has ended (negative: without limit); true when it has.
  bool waitEnded(int milliseconds);

  bool ended() const { return ended_; }
  // The server's QUIT arrived after this client had sent its own: everything the server had
  // to say about this client's packets came before it.
  bool quitAnswered() const { return quitAnswered_; }
  bool quitRequested() const { return quitRequested_; }
  // The server ended the session of its own accord (shutdown, the operator's terminate).
  bool endedByServer() const { return endedByServer_; }
  int undeliverable() const { return undeliverable_; }
  const std::string& name() const { return name_; }
  // Who lines without a command go to; empty until someone has been written to or has written.
  std::vector<std::string> correspondents() const;
  std::vector<RosterEntry> whoIsOn() const { return roster_.snapshot(); }

 private:
  void readLoop();
  void handleRouted(const Packet& packet);
  // The full name of a sender whose 8-byte header field was filled to the end: the one user
  // on line whose name begins with it, if exactly one does.
  std::string senderOf(const Packet& packet) const;
  void markEnded();

  Connection& connection_;
  Screen& screen_;
  Roster roster_;
  std::string name_;  // set once, before the reader thread starts
  std::thread reader_;

  mutable std::mutex stateLock_;  // correspondents_; ended_ changes under it too, for waitEnded
  std::condition_variable endedChanged_;
  std::vector<std::string> correspondents_;

  std::atomic<bool> loggedIn_{false};
  std::atomic<bool> ended_{false};
  std::atomic<bool> quitRequested_{false};
  std::atomic<bool> quitAnswered_{false};
  std::atomic<bool> endedByServer_{false};
  std::atomic<int> undeliverable_{0};
};

}  // namespace msgclient
