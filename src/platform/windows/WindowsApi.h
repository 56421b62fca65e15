// WindowsApi: the Windows headers, included the same way by every source of this backend and
// before any header of the platform interface, so that the interface's fallback definitions of
// the wait and error codes step aside for the system's own. Also the few helpers that several
// sources of the backend share.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdint>

// Starts Winsock (version 2.2) once for the process, the first time a socket is needed: the
// tests and tools open sockets without going through the server's entry point. True when it
// is running.
bool ensureWinsock();

// A new TCP socket that child processes do not inherit (a socket inherited by a child would
// stay open after this process closes it, and the peer would never see the end). Overlapped,
// as the send and receive time-outs need; INVALID_SOCKET on failure.
SOCKET openTcpSocket();

// Keeps a socket out of the handles that child processes inherit.
void keepFromChildren(SOCKET socket);

// Puts a socket in Winsock's non-blocking mode, where every stream socket of this backend stays
// from the moment it is connected or adopted (see SocketStates.h); false when Winsock refuses.
bool neverBlock(SOCKET socket);
