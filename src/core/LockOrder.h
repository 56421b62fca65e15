// LockOrder: the order in which a thread may take the server's mutexes, checked where it is
// cheap to check (debug and sanitizer builds, MSGSERVER_LOCK_CHECKS): a thread that breaks it
// is stopped on the spot with the two locks named, instead of deadlocking one day in a hundred.
//
// The order, outermost first (a thread may wait for a mutex only when every mutex it holds is
// of a lower rank, or when it holds that very mutex already):
//
//   Accept       the turn at accepting                          (Acceptor)
//   Connections  the connection count                           (Acceptor)
//   Send         one client's send lock; never two at once      (Transport, ConnectionSlot)
//   Users        the registry of logged-in users                (SessionTable)
//   File         one data file or log; never while Users is held (the store)
//
// Further rules checked here: no send, no file-lock wait and no pause while Users is held
// (assertNotHeld at those places), and operations that need Users say so (assertHeld).
// Thread safety: the record of what is held is per thread.
#pragma once

enum class LockRank : int { Accept = 10, Connections = 20, Send = 30, Users = 40, File = 50 };

namespace LockOrder {

#ifdef MSGSERVER_LOCK_CHECKS
// Called before a thread waits for mutex: stops the process when the wait breaks the order.
void acquiring(const void* mutex, LockRank rank);
// The thread now holds mutex (once more, for a recursive hold).
void acquired(const void* mutex, LockRank rank);
// The thread gave up one hold of mutex.
void released(const void* mutex);
// Stops the process, naming what, unless the thread holds (or does not hold) a mutex of rank.
void assertHeld(LockRank rank, const char* what);
void assertNotHeld(LockRank rank, const char* what);
#else
inline void acquiring(const void*, LockRank) {}
inline void acquired(const void*, LockRank) {}
inline void released(const void*) {}
inline void assertHeld(LockRank, const char*) {}
inline void assertNotHeld(LockRank, const char*) {}
#endif

}  // namespace LockOrder
