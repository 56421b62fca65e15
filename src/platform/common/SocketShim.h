// SocketShim: the few socket calls that each system spells its own way (the handle's type, the
// length's type, close against closesocket, errno against WSAGetLastError), under one set of
// names, so that what the socket classes do the same on every system is written once in
// common/. Each system's folder implements the calls (SocketShim.cpp there); the address
// helpers at the end are written once over them. Private to the platform layer.
// Thread safety: every function may be called from any thread.
#pragma once

#ifdef _WIN32
#include "platform/windows/WindowsApi.h"
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <cstddef>
#include <cstdint>

#include "platform/PlatformTypes.h"

namespace SocketShim {

// Makes sockets usable in this process (Winsock starts once, on first use); false when they
// cannot be.
bool ready();
// A new IPv4 TCP socket that child processes do not inherit; INVALID_SOCKET_HANDLE on failure.
SocketHandle openTcp();
// Closes the handle; false (the handle still open) when the system refuses.
bool closeHandle(SocketHandle handle);
// Binds the handle to the address; false on failure.
bool bindHandle(SocketHandle handle, const sockaddr_in& address);
// Connects the handle to the address: 1 when connected, 0 when a non-blocking connection is
// under way, -1 on failure.
int connectHandle(SocketHandle handle, const sockaddr_in& address);
// Readies a new listener's handle before it is bound (what each system needs for a server that
// starts again on its port at once).
void prepareListener(SocketHandle handle);
// Starts listening with the given backlog; false on failure.
bool listenHandle(SocketHandle handle, int backlog);
// The address of one end of the handle (the peer's when remote); false when the system cannot
// say.
bool endAddress(SocketHandle handle, bool remote, sockaddr_in* address);
// Readies a connected handle for the StreamSocket that has it (connected or adopted); false
// when the system refuses.
bool prepareStream(SocketHandle handle);

// The system's words for why the last socket call of this thread failed, without a final full
// stop or line end, cut to size - 1 characters.
void describeLastError(char* buffer, std::size_t size);

// The IPv4 socket address of a port (host order) and an address in network byte order.
sockaddr_in ipv4Address(std::uint16_t port, std::uint32_t address);
// Reads the port (host order) and dotted address of one end of the handle; false (fields
// untouched) when the end cannot be determined or is not IPv4.
bool readEnd(SocketHandle handle, bool remote, std::uint16_t* port, char (&text)[16]);
// The port (host order) and dotted address of an IPv4 socket address; false (fields untouched)
// when it is not IPv4.
bool spellEnd(const sockaddr_in& address, std::uint16_t* port, char (&text)[16]);

}  // namespace SocketShim
