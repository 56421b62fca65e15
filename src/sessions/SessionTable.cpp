#include "sessions/SessionTable.h"

#include <cstdlib>
#include <cstring>

#include "core/MutexName.h"
#include "core/NamedLock.h"
#include "core/ServiceGate.h"
#include "platform/Mutex.h"
#include "platform/StreamSocket.h"
#include "sessions/ConnectionSlot.h"

SessionTable::SessionTable(std::uint32_t processId, const ServiceGate& gate,
                           UserRegistry::KeyOf keyOf, UserRegistry::Compare compare)
    : slots(nullptr),
      users(keyOf, compare, 0),
      gate_(gate),
      usersMutex_(new Mutex(0, MutexName::users(processId).text(), nullptr)),
      count_(0),
      loginCount_(0) {}

SessionTable::~SessionTable() {
  destroySlots();
  delete usersMutex_;
}

void SessionTable::createSlots(std::int32_t count) {
  slots = new ConnectionSlot*[static_cast<std::size_t>(count)];
  for (std::int32_t i = 0; i < count; ++i) {
    slots[i] = new ConnectionSlot();
    positions_.emplace(slots[i], i);
  }
  count_ = count;
}

void SessionTable::destroySlots() {
  NamedLock usersLock(*usersMutex_, LockRank::Users);
  users.clear();
  {
    std::lock_guard<std::mutex> directory(directoryLock_);
    byName_.clear();
  }
  admitted_.clear();
  positions_.clear();
  if (slots == nullptr) return;
  for (std::int32_t i = 0; i < count_; ++i) delete slots[i];
  delete[] slots;
  slots = nullptr;
  count_ = 0;
}

std::int32_t SessionTable::positionOf(const ConnectionSlot* slot) const {
  auto found = positions_.find(slot);
  return found == positions_.end() ? count_ : found->second;  // every slot is in the array
}

bool SessionTable::publish(ConnectionSlot* slot, StreamSocket* socket) {
  NamedLock usersLock(*usersMutex_, LockRank::Users);
  if (gate_.halting()) return false;
  slot->socket = socket;
  return true;
}

StreamSocket* SessionTable::unpublish(ConnectionSlot* slot) {
  NamedLock usersLock(*usersMutex_, LockRank::Users);
  StreamSocket* socket = slot->socket;
  slot->socket = nullptr;
  return socket;
}

bool SessionTable::claim(ConnectionSlot* slot, const char* name) {
  NamedLock usersLock(*usersMutex_, LockRank::Users);
  if (gate_.halting() || byName_.count(name) != 0) return false;
  char* copy = strdup(name);
  if (copy == nullptr) return false;
  slot->userName = copy;
  slot->loginSerial = ++loginCount_;
  users.insert(slot);
  std::lock_guard<std::mutex> directory(directoryLock_);
  byName_.emplace(copy, slot);
  return true;
}

// Caller holds users.
void SessionTable::listed(ConnectionSlot* slot, std::vector<ListedUser>* listed) {
  LockOrder::assertHeld(LockRank::Users, "a user list");
  for (const auto& [position, other] : admitted_) {
    if (other == slot) continue;
    ListedUser user{other->userName, "", other->connectTime};
    if (other->socket != nullptr) other->socket->getPeerAddress(user.host, sizeof user.host);
    listed->push_back(std::move(user));
  }
}

void SessionTable::admit(ConnectionSlot* slot, std::vector<ListedUser>* listedUsers,
                         std::vector<Recipient>* told) {
  NamedLock usersLock(*usersMutex_, LockRank::Users);
  listed(slot, listedUsers);
  for (const auto& [position, other] : admitted_) {
    if (other != slot) told->push_back({other, other->loginSerial});
  }
  slot->admitted = true;
  admitted_.emplace(positionOf(slot), slot);
}

void SessionTable::listOthers(ConnectionSlot* slot, std::vector<ListedUser>* listedUsers) {
  NamedLock usersLock(*usersMutex_, LockRank::Users);
  listed(slot, listedUsers);
}

SessionTable::Release SessionTable::release(ConnectionSlot* slot, std::vector<Recipient>* told,
                                            char** name) {
  NamedLock usersLock(*usersMutex_, LockRank::Users);
  if (gate_.halting()) return Release::Halting;
  if (slot->userName == nullptr) return Release::NotLoggedIn;
  if (slot->admitted) {
    admitted_.erase(positionOf(slot));
    for (const auto& [position, other] : admitted_) told->push_back({other, other->loginSerial});
  }
  users.remove(slot->userName);
  {
    std::lock_guard<std::mutex> directory(directoryLock_);
    byName_.erase(slot->userName);
  }
  slot->admitted = false;
  slot->loginSerial = 0;
  *name = slot->userName;
  slot->userName = nullptr;
  return Release::Released;
}

bool SessionTable::find(const char* name, Recipient* found) {
  std::lock_guard<std::mutex> directory(directoryLock_);
  auto entry = byName_.find(name);
  if (entry == byName_.end()) return false;
  *found = {entry->second, entry->second->loginSerial};
  return true;
}

void SessionTable::online(std::vector<Recipient>* everyone) {
  std::lock_guard<std::mutex> directory(directoryLock_);
  // From the index, not the slots: a broadcast costs the users on line, not the capacity.
  everyone->reserve(everyone->size() + byName_.size());
  for (const auto& [name, slot] : byName_) everyone->push_back({slot, slot->loginSerial});
}

void SessionTable::listInOrder(std::vector<ListedUser>* everyone) {
  NamedLock usersLock(*usersMutex_, LockRank::Users);
  // An explicit stack: a registry of a thousand names in arrival order can be a thousand deep.
  std::vector<RegistryNode*> path;
  for (RegistryNode* node = users.root; node != nullptr || !path.empty();) {
    if (node != nullptr) {
      path.push_back(node);
      node = node->left;
      continue;
    }
    node = path.back();
    path.pop_back();
    if (ConnectionSlot* slot = node->value) {
      ListedUser user{slot->userName, "", slot->connectTime};
      if (slot->socket != nullptr) slot->socket->getPeerAddress(user.host, sizeof user.host);
      everyone->push_back(std::move(user));
    }
    node = node->right;
  }
}

void SessionTable::takeEveryoneOut(std::vector<ConnectionSlot*>* owed) {
  NamedLock usersLock(*usersMutex_, LockRank::Users);
  for (std::int32_t i = 0; i < count_; ++i) {
    ConnectionSlot* slot = slots[i];
    if (slot->userName != nullptr) {
      owed->push_back(slot);
      users.remove(slot->userName);
      admitted_.erase(positionOf(slot));
      std::lock_guard<std::mutex> directory(directoryLock_);
      byName_.erase(slot->userName);
    } else if (slot->socket != nullptr) {
      slot->socket->shutdownBoth();
    }
  }
}

void SessionTable::shutDownAll() {
  NamedLock usersLock(*usersMutex_, LockRank::Users);
  for (std::int32_t i = 0; i < count_; ++i) {
    if (slots[i]->socket != nullptr) slots[i]->socket->shutdownBoth();
  }
}
