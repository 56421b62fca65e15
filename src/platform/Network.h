// Network: process-wide start and end of networking, and the name and address conversions of
// IPv4. Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>

#include "platform/PlatformTypes.h"

// Prepares the process for sockets. Here that means only that a write to a peer (or a pipe)
// that has gone reports an error instead of ending the process. Always succeeds.
Bool16 startWinsock();
// Ends the use of sockets; nothing to do here. Always succeeds.
Bool16 stopWinsock();

// The machine's host name resolved to its first IPv4 address as dotted text; false (text
// untouched) when the name or the lookup fails.
bool resolveOwnAddress(char (&text)[16]);
// A host name resolved to its first IPv4 address as dotted text; false when it cannot be.
bool resolveHostName(const char* name, char (&text)[16]);
// The classic dotted-address conversion: four parts, or the shorter and hexadecimal and octal
// forms. The address in network byte order, or 0xFFFFFFFF (all ones) for text that is not an
// address.
std::uint32_t convertAddress(const char* text);
// The most connections the system queues for one listener whatever backlog it is given, or -1
// when the system sets no such cap or does not say.
int largestListenBacklog();
// Network to host byte order and back, for 32 bits.
std::uint32_t networkToHost32(std::uint32_t value);
std::uint32_t hostToNetwork32(std::uint32_t value);
