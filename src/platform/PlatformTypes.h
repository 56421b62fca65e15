// PlatformTypes: the small vocabulary shared by the platform layer and its users: the 16-bit
// boolean of every operation's result, the opaque kernel handle, the socket handle, and the
// wait and error codes of named mutexes. The numeric values are those of the system the server
// was first designed for, so results read the same on every backend.
#pragma once

#include <cstdint>

// Every operation that can fail returns one of these: nonzero means done.
using Bool16 = std::int16_t;

// An opaque handle to a kernel object (a named mutex); null when none is held.
typedef void* HANDLE;

#ifndef INVALID_HANDLE_VALUE
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))
#endif

// Waits: an infinite time-out, and what a wait returns.
#ifndef INFINITE
#define INFINITE 0xFFFFFFFFu
#endif
#ifndef WAIT_OBJECT_0
#define WAIT_OBJECT_0 0x00000000u
#endif
#ifndef WAIT_ABANDONED
#define WAIT_ABANDONED 0x00000080u
#endif
#ifndef WAIT_TIMEOUT
#define WAIT_TIMEOUT 0x00000102u
#endif
#ifndef WAIT_FAILED
#define WAIT_FAILED 0xFFFFFFFFu
#endif

// Error codes kept in KernelObject::lastError.
#ifndef ERROR_SUCCESS
#define ERROR_SUCCESS 0u
#endif
#ifndef ERROR_FILE_NOT_FOUND
#define ERROR_FILE_NOT_FOUND 2u
#endif
#ifndef ERROR_INVALID_HANDLE
#define ERROR_INVALID_HANDLE 6u
#endif
#ifndef ERROR_NOT_ENOUGH_MEMORY
#define ERROR_NOT_ENOUGH_MEMORY 8u
#endif
#ifndef ERROR_ALREADY_EXISTS
#define ERROR_ALREADY_EXISTS 183u
#endif

// A socket handle wide enough for every backend; -1 is "no socket".
using SocketHandle = std::intptr_t;
inline constexpr SocketHandle INVALID_SOCKET_HANDLE = -1;
