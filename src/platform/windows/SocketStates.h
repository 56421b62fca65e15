// SocketStates: what this backend must remember about a socket that Winsock does not say.
// - Whether the interface has it in non-blocking mode. Winsock can set a mode but not report
//   it, and a stream socket of this backend is in Winsock's non-blocking mode for its whole
//   life once connected or adopted, so that a send that must not block is a plain send. The
//   interface's blocking mode is made of waits: a blocking call waits until the socket is ready
//   (in steps, with the socket's own time-out), then makes a call that does not block.
// - Whether it has been shut down by shutdownBoth: Winsock refuses to shut down a listening
//   socket, and does not wake a thread that waits on a socket shut down under it. Every wait of
//   this backend waits in short steps and gives up once its socket is marked here.
// Entries are keyed by the handle and removed when the socket is closed (handles are reused).
// Thread safety: every function may be called from any thread.
#pragma once

#include "platform/PlatformTypes.h"

namespace SocketStates {

void setNonBlocking(SocketHandle handle, bool on);
bool isNonBlocking(SocketHandle handle);
void markShutDown(SocketHandle handle);
bool isShutDown(SocketHandle handle);
void forget(SocketHandle handle);

// The longest single wait, in milliseconds, before a waiting call looks at the marks again.
constexpr int WAIT_STEP_MILLISECONDS = 50;

}  // namespace SocketStates
