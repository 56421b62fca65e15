#include "core/LockOrder.h"

#ifdef MSGSERVER_LOCK_CHECKS

#include <cstdio>
#include <cstdlib>

namespace {

struct Held {
  const void* mutex;
  LockRank rank;
  int depth;
};

// A thread holds few mutexes at once; more than this is itself a fault worth stopping on.
constexpr int kMostHeld = 16;

thread_local Held held[kMostHeld];
thread_local int heldCount = 0;

const char* nameOf(LockRank rank) {
  switch (rank) {
    case LockRank::Accept: return "accept";
    case LockRank::Connections: return "connections";
    case LockRank::Send: return "send";
    case LockRank::Users: return "users";
    case LockRank::File: return "file";
  }
  return "?";
}

[[noreturn]] void broken(const char* what, LockRank rank, LockRank other) {
  std::fprintf(stderr, "lock order broken: %s (%s while holding %s)\n", what, nameOf(rank),
               nameOf(other));
  std::abort();
}

Held* find(const void* mutex) {
  for (int i = 0; i < heldCount; ++i) {
    if (held[i].mutex == mutex) return &held[i];
  }
  return nullptr;
}

}  // namespace

namespace LockOrder {

void acquiring(const void* mutex, LockRank rank) {
  if (find(mutex) != nullptr) return;  // recursive: already ours
  for (int i = 0; i < heldCount; ++i) {
    if (held[i].rank >= rank) broken("a mutex taken out of order", rank, held[i].rank);
    if (rank == LockRank::File && held[i].rank == LockRank::Users) {
      broken("a file lock waited for under users", rank, held[i].rank);
    }
  }
}

void acquired(const void* mutex, LockRank rank) {
  if (Held* entry = find(mutex)) {
    ++entry->depth;
    return;
  }
  if (heldCount == kMostHeld) broken("too many mutexes held at once", rank, held[0].rank);
  held[heldCount++] = {mutex, rank, 1};
}

void released(const void* mutex) {
  Held* entry = find(mutex);
  if (entry == nullptr || --entry->depth > 0) return;
  *entry = held[--heldCount];
}

void assertHeld(LockRank rank, const char* what) {
  for (int i = 0; i < heldCount; ++i) {
    if (held[i].rank == rank) return;
  }
  std::fprintf(stderr, "lock not held: %s needs %s\n", what, nameOf(rank));
  std::abort();
}

void assertNotHeld(LockRank rank, const char* what) {
  for (int i = 0; i < heldCount; ++i) {
    if (held[i].rank == rank) broken(what, rank, rank);
  }
}

}  // namespace LockOrder

#endif
