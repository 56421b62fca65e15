// AsyncConnect: opening a TCP connection without waiting for it, so that one thread can open
// many at once and go on serving the others meanwhile. The socket is non-blocking from the
// start and stays so; its sends and receives then never wait.
// Thread safety: as the socket's.
#pragma once

#include <cstdint>

#include "platform/StreamSocket.h"

// Starts a connection from the socket's local fields to its peer fields, with no coalescing
// of small writes: 1 when it is connected already, 0 when it is under way (wait until the
// handle is writable, then call finishConnect), -1 on failure (a socket that was created stays
// open in handle).
int beginConnect(StreamSocket& socket);

// The outcome of a connection under way once its handle is writable (or has failed): 1 when
// connected (the local fields are then read from the handle), -1 when it failed.
int finishConnect(StreamSocket& socket);
