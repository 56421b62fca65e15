// HandleLimit: how many handles (files and sockets) the process may hold open at once. A
// program that opens one connection per user (the load generator, with up to a thousand)
// checks it first and raises it where the system lets it, rather than failing half-way.
// Thread safety: may be called from any thread; a raise applies to the whole process.
#pragma once

struct HandleLimit {
  // What the process may hold open now, and what that may be raised to without privileges.
  // UNLIMITED where the system sets no such limit (Windows counts no sockets against one).
  long soft;
  long hard;

  static constexpr long UNLIMITED = 0x7FFFFFFFL;
};

// The process's limits now; both -1 when the system does not say.
HandleLimit currentHandleLimit();
// When the soft limit is below wanted, raises it to the hard limit (to wanted when the hard
// limit is unlimited). Returns the limits afterwards: unchanged when the raise fails.
HandleLimit raiseHandleLimit(long wanted);
