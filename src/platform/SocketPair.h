// SocketPair: two connected stream sockets within this process, for pure byte streams where no
// address matters (the fuzz harnesses feed the receive path through one). Neither end has a
// network address: both ends' address fields stay empty and their ports 0.
#pragma once

#include "platform/PlatformTypes.h"

// Opens a connected pair of stream socket handles into ends; false (ends untouched) when the
// system refuses. The caller owns both handles (a StreamSocket may adopt each).
Bool16 openSocketPair(SocketHandle (&ends)[2]);
// Ends the sending direction of a handle: the peer reads the end of the stream once it has
// read what was sent, while this end can still receive. False when the call fails.
Bool16 shutdownSending(SocketHandle handle);
