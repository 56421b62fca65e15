// SessionTable: the slots of a running service and the users logged in on them.
// Owns: the users mutex (taken only here, and held only for the short work of each operation),
// the slot array (its size fixed when the service starts), the registry of logged-in users, an
// index of the same users by name (the registry is an unbalanced tree: names that arrive in
// order make it a chain, too slow to search once per routed packet) and the login serials.
// Nothing here sends, waits for a client or opens a file.
// Locks: users, and inside it the directory lock of the index by name (a std::mutex, held for
// one look-up, insertion or copy of the index, with nothing taken under it). The index is
// changed under both and read under either: routing finds its recipients under the directory
// lock alone, so a packet never waits behind the logins and leaves that hold users (in a crowd
// of logins, hundreds of them queue there). A caller may hold its own send lock (Send comes
// before Users in the order), and never holds users itself. What a caller gets back (a Recipient, a copy of a name) stays
// usable after users is let go: a Recipient names a login, and Transport::deliverTo writes to
// it only while the slot still serves that very login.
// Invariants: a slot's userName is set, and the slot filed under it, from claim to release;
// admitted is set by admit and cleared by release; loginSerial is nonzero exactly while the slot
// is logged in. A slot's socket is published here by its worker and taken back only by it (or
// by the stop once the worker has ended).
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sessions/UserRegistry.h"

class ConnectionSlot;
class Mutex;
class ServiceGate;
class StreamSocket;

// A login found under users: the slot and which login it served then.
struct Recipient {
  ConnectionSlot* slot;
  std::uint64_t login;
};

// One user as a user list shows it.
struct ListedUser {
  std::string name;
  char host[16];
  std::time_t connectTime;
};

class SessionTable {
 public:
  enum class Release { NotLoggedIn, Released, Halting };

  // The registry files slots by keyOf and compares names with compare.
  SessionTable(std::uint32_t processId, const ServiceGate& gate, UserRegistry::KeyOf keyOf,
               UserRegistry::Compare compare);
  ~SessionTable();

  SessionTable(const SessionTable&) = delete;
  SessionTable& operator=(const SessionTable&) = delete;

  // count new slots, before any worker runs.
  void createSlots(std::int32_t count);
  // Frees every slot (their workers have ended) and empties the registry.
  void destroySlots();
  std::int32_t slotCount() const { return count_; }

  // The slot's worker has taken a connection: published where a stop looks for connections to
  // wake. False (nothing published) once the service is stopping.
  bool publish(ConnectionSlot* slot, StreamSocket* socket);
  // Takes the slot's connection back from where the stop looks; the caller closes it.
  StreamSocket* unpublish(ConnectionSlot* slot);

  // Files slot under name; false (slot untouched) when the name is taken or the service stops.
  bool claim(ConnectionSlot* slot, const char* name);
  // Admits slot: *listed gets the users admitted before it (its user list) and *told the same
  // users (who hear of it), and slot counts as admitted from here on; all in one hold, so that
  // of two users admitted at the same moment exactly one lists the other and the other is
  // told of it.
  void admit(ConnectionSlot* slot, std::vector<ListedUser>* listed, std::vector<Recipient>* told);
  // The admitted users other than slot, for a list outside an admission.
  void listOthers(ConnectionSlot* slot, std::vector<ListedUser>* listed);
  // The slot's user leaves: out of the registry, no longer admitted. *told gets the users who
  // were told of it (none when it was never admitted) and *name the name, which the caller now
  // owns (frees). Halting, with nothing changed, once the service is stopping: the stop tears
  // the slots down itself.
  Release release(ConnectionSlot* slot, std::vector<Recipient>* told, char** name);

  // The user of that name, when one is logged in.
  bool find(const char* name, Recipient* found);
  // Every logged-in user, in no particular order.
  void online(std::vector<Recipient>* everyone);
  // Every logged-in user in byte order of the names, for the operator's list.
  void listInOrder(std::vector<ListedUser>* everyone);

  // The stop, once halting: every logged-in user leaves the registry and goes to *owed (the
  // stop's notice is due to them); every other connection is shut down, which wakes its
  // worker. The slots keep their names until they are freed.
  void takeEveryoneOut(std::vector<ConnectionSlot*>* owed);
  // Shuts every published connection down: wakes the workers still waiting for their clients.
  void shutDownAll();

  ConnectionSlot** slots;  // count_ slots while a service runs, else null
  UserRegistry users;

 private:
  void listed(ConnectionSlot* slot, std::vector<ListedUser>* listed);
  std::int32_t positionOf(const ConnectionSlot* slot) const;

  const ServiceGate& gate_;
  Mutex* usersMutex_;
  // Every filed slot by its userName (the view is of the slot's own copy, alive while filed):
  // changed under users and directoryLock_, read under either.
  std::unordered_map<std::string_view, ConnectionSlot*> byName_;
  std::mutex directoryLock_;
  // The admitted users in slot order (under users), so that lists and notices cost the users
  // on line and not the capacity; and each slot's place in the array (fixed while slots live).
  std::map<std::int32_t, ConnectionSlot*> admitted_;
  std::unordered_map<const ConnectionSlot*, std::int32_t> positions_;
  std::int32_t count_;
  std::uint64_t loginCount_;  // logins so far, under users: the source of every loginSerial
};
