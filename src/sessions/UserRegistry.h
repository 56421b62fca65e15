// UserRegistry: the logged-in users, an unbalanced binary search tree of ConnectionSlot
// pointers keyed by keyOf(value). Keys are not stored: a value's key is what keyOf gives for
// it now, so a value's key must not change while it is filed here. Equal keys go to the right,
// below the entry already there. Owns its nodes; owns the values only when ownsValues is set.
// Thread safety: none inside; every caller holds the users mutex around each call and around
// any use of a node or value it returns.
#pragma once

#include <cstdint>

#include "platform/PlatformTypes.h"

class ConnectionSlot;

struct RegistryNode {
  RegistryNode* left;      // keys that sort before this one
  RegistryNode* right;     // keys that sort after this one, or equal it
  ConnectionSlot* value;
};

class UserRegistry {
 public:
  using KeyOf = const char* (*)(ConnectionSlot* value);
  // Negative when key sorts before value's key, 0 when equal, positive when after.
  using Compare = int (*)(ConnectionSlot* value, const char* key);
  using Visitor = void (*)(ConnectionSlot* value);

  UserRegistry(KeyOf keyOf, Compare compare, Bool16 ownsValues);
  // Frees every node (and, with ownsValues, every value).
  virtual ~UserRegistry();

  UserRegistry(const UserRegistry&) = delete;
  UserRegistry& operator=(const UserRegistry&) = delete;

  // Files the value under keyOf(value); duplicates are not refused. A node that cannot be
  // allocated is not filed, silently.
  void insert(ConnectionSlot* value);
  // The first node on the search path whose key equals key, or null.
  RegistryNode* find(const char* key) const;
  // Removes the first entry on the search path whose key equals key; false when absent.
  Bool16 remove(const char* key);
  // Removes every entry; root becomes null.
  void clear();
  // Calls visit once per entry in ascending key order.
  void visitInOrder(Visitor visit) const;

  RegistryNode* root;
  KeyOf keyOf;
  Compare compare;
  Bool16 ownsValues;

 private:
  void destroyValue(ConnectionSlot* value);
  void clearBelow(RegistryNode*& link);
};
