// Transport: every byte between the server and its clients. A packet goes out whole, under the
// client's send lock, in one send, waiting for room up to the send budget; whole packets come in
// through the inbox of the client's own worker, within the connection's deadlines; and the
// stop's notices reach every client that reads within the stop's one budget.
// Owns: the send budget. Uses each slot's connection, inbox and send lock (ConnectionSlot).
// Locks: one slot's send lock at a time, never users (checked), never a file. No caller holds
// users while it sends.
#pragma once

#include <atomic>
#include <cstdint>

class ConnectionSlot;
class Packet;
class ServiceGate;
struct Recipient;

class Transport {
 public:
  // loginTimeoutSeconds bounds a login and a packet left incomplete (0: no limit).
  Transport(const ServiceGate& gate, const std::atomic<std::int32_t>& loginTimeoutSeconds);

  // Writes one wire image to the slot's client under its send lock: the size written, or -1.
  // A send that fails, or that cannot be completed within the budget, leaves the stream
  // unusable: the connection is shut down, so that its worker tears it down. While the service
  // stops, only the stopping thread may send: anyone else gets -1 and writes nothing.
  std::int32_t deliver(ConnectionSlot* slot, const unsigned char* image, std::int32_t size);
  // deliver for a caller that holds the slot's send lock.
  std::int32_t deliverHeld(ConnectionSlot* slot, const unsigned char* image, std::int32_t size);
  // deliver to a login found under users earlier: -1, with nothing written, when the slot has
  // left that login since.
  std::int32_t deliverTo(const Recipient& recipient, const unsigned char* image,
                         std::int32_t size);
  // Waits for one whole packet from the slot's client and reads it into packet: its payload
  // length (HEADER_SIZE for none), or -1 when the connection failed or closed, a deadline
  // passed, or the header claims more than MAX_PAYLOAD_SIZE bytes. Only the slot's own worker
  // calls it.
  std::int32_t receive(ConnectionSlot* slot, Packet* packet);
  // The stop's notice (image: MESS and QUIT) to every owed client, then the end of each stream,
  // and a wait until each client has it all or has closed, or the stop's budget is spent.
  // Clients are served in turns: none waits for another. The caller holds no lock.
  void sayGoodbye(ConnectionSlot* const* owed, int count, const unsigned char* image,
                  std::int32_t size);

  int sendTimeoutMilliseconds;  // how long a client may leave a packet unread (default 5000)

 private:
  const ServiceGate& gate_;
  const std::atomic<std::int32_t>& loginTimeoutSeconds_;
};
