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
// from the moment it is connected or adopted, so that a send that must not block is a plain
// send; false when Winsock refuses. Winsock can set a mode but not report it: whether the
// interface has the socket in non-blocking mode is kept in the Socket object, and the
// interface's blocking mode is made of waits: a blocking call waits until the socket is ready
// (in steps, with the socket's own time-out), then makes a call that does not block.
bool neverBlock(SOCKET socket);

// Winsock refuses to shut down a listening socket, and does not wake a thread that waits on a
// socket shut down under it: shutdownBoth marks the Socket object instead, and every wait of
// this backend waits in steps of at most this many milliseconds and gives up once its socket
// is marked.
constexpr int WAIT_STEP_MILLISECONDS = 50;
