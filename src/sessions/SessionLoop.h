// SessionLoop: one thread that serves every logged-in client at once. A worker logs its client
// in and admits it, then hands the session over (serve) and sleeps until the session ends; the
// loop waits on all its clients' sockets together, reads what each has sent, hands every whole
// packet to the server's handler, and once a pass has routed all it read writes each
// recipient's outbox once (Transport::post, writeQueued); a pass that routes for longer than
// 2 ms writes what it has queued so far before it goes on. So one wake-up serves many clients'
// packets, and packets to one client from many senders leave in one write.
//
// It also keeps each session's deadlines: a packet left incomplete for the login time-out ends
// the session, as does an outbox the client has not taken for the send budget (Transport); a
// packet the handler holds (no token yet) stays at the front of the inbox, unread behind it,
// until the time the handler named (its socket out of the poller meanwhile). While the service stops, it goes on reading and dropping
// what clients send (the handler drops it), so that the stop's notice is not reset away, until
// each client has closed or stop() ends the loop.
//
// Owns: the thread, its poller, the wake-up pair, the list of sessions it serves and the
// batch of recipients its pass has queued packets for.
// Locks: its hand-over queue's mutex (nothing taken under it); a slot's hand-over mutex, alone,
// to hand a session back; the send locks and users only through Transport and the handler,
// one at a time. It never waits for a client: every socket it reads is ready, and every write
// is one that does not block.
// A caller may rely on: serve returns only once the loop has let the session go for good (its
// socket is then the worker's again), and at once when the loop is not running.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/EventPoller.h"
#include "platform/PlatformTypes.h"
#include "protocol/Packet.h"

class ConnectionSlot;
class ServiceGate;
class StreamSocket;
class Transport;

class SessionLoop {
 public:
  // What the handler made of one packet: Served (it is done with), Held (not now: the packet
  // stays where it is and is offered again at *resumeAt, steady-clock microseconds, with retry
  // set) or Ended (the session is over).
  enum class Outcome { Served, Held, Ended };
  using Handler = std::function<Outcome(ConnectionSlot* slot, Packet* packet, bool retry,
                                        std::int64_t* resumeAt)>;

  // loginTimeoutSeconds bounds a packet left incomplete (0: no limit).
  SessionLoop(const ServiceGate& gate, Transport& transport,
              const std::atomic<std::int32_t>& loginTimeoutSeconds);
  ~SessionLoop();

  SessionLoop(const SessionLoop&) = delete;
  SessionLoop& operator=(const SessionLoop&) = delete;

  // Starts the thread; false when the system refused it (or the poller, or the wake-up pair).
  bool start(Handler handler);
  // Ends the thread: every session still served, or handed over and not yet taken, is handed
  // back first. From here on serve returns at once.
  void stop();

  // For the slot's own worker, once its client is admitted: the loop serves the session until
  // it ends (the handler's Ended, the client closing or failing, a deadline), and this returns
  // then. The slot's inbox may already hold packets: they are served first.
  void serve(ConnectionSlot* slot);

 private:
  void run();
  // Takes the sessions handed over since the last pass into the poller and serves what their
  // inboxes hold.
  void takeHandedOver();
  // Reads once from the session's socket and serves every whole packet there.
  void readFrom(ConnectionSlot* slot);
  // Serves the whole packets at the front of the slot's inbox until one is held or the
  // session ends; a held slot's socket goes back into the poller first.
  void servePackets(ConnectionSlot* slot);
  void serveFront(ConnectionSlot* slot, bool retry);
  // Writes every outbox the pass queued packets for; a session of the loop's whose client had
  // no room for all of it waits until its socket is writable.
  void writeBatch();
  // The deadlines and the waiting outboxes, every kTickMilliseconds.
  void tick();
  void watch(ConnectionSlot* slot, std::uint32_t events);
  // Marks the session over: out of the poller and the list; handed back after the pass's
  // writes.
  void end(ConnectionSlot* slot);
  void handBack(ConnectionSlot* slot);
  void wake();
  // How long the next wait may last, in milliseconds.
  int nextWait(std::int64_t nowMicros) const;

  const ServiceGate& gate_;
  Transport& transport_;
  const std::atomic<std::int32_t>& loginTimeoutSeconds_;
  Handler handler_;

  EventPoller* poller_ = nullptr;
  StreamSocket* wakeReader_ = nullptr;
  StreamSocket* wakeWriter_ = nullptr;
  std::atomic<bool> wakePending_{false};

  std::mutex handOverLock_;  // guards the three fields below
  std::vector<ConnectionSlot*> handedOver_;
  bool running_ = false;
  bool ending_ = false;

  std::thread thread_;
  // The loop thread's own: the sessions it serves, those that ended this pass, the recipients
  // its pass queued packets for, the held sessions, and when the next tick is due.
  std::vector<ConnectionSlot*> sessions_;
  std::vector<ConnectionSlot*> ended_;
  std::vector<ConnectionSlot*> batch_;
  std::vector<ConnectionSlot*> held_;
  std::vector<ConnectionSlot*> taking_;  // the hand-over queue, taken in one go
  std::int64_t nextTick_ = 0;
  std::int64_t nowMilliseconds_ = 0;  // steady-clock reading of the pass
  Packet packet_;  // the packet being served
};
