// Socket: owns one operating-system socket handle and the local end of it (port in host byte
// order, IPv4 address as dotted-quad text of at most 15 characters). Abstract: ServerSocket
// listens, StreamSocket is connected. Objects are not copied; destroying one closes an open
// handle. No operation prints, logs or retries: failures show only in the result.
// Thread safety: none inside. Several threads may send on one socket only under the caller's
// own lock; shutdownBoth may be called from any thread to wake a blocked call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/PlatformTypes.h"

class Socket {
 public:
  virtual ~Socket() = 0;

  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // Closes the handle: true and handle -1; false (handle unchanged) when that fails or none is
  // open.
  Bool16 close();
  // Stops both directions without closing: blocked sends and receives on the handle return at
  // once, and later ones fail. Used to give up a connection from any thread.
  Bool16 shutdownBoth();
  // True once shutdownBoth has given the socket up (from any thread), until it is closed: for
  // a thread that waits on many sockets, since not every system reports a socket shut down on
  // this side as ready.
  bool givenUp() const { return shutDown_; }
  // Stops sending only: what is queued still goes out, then the end of the stream; receiving
  // goes on, and nothing arriving later resets the connection. False when the call fails.
  Bool16 shutdownSend();

  // Stores the text, cut to 15 characters.
  void setLocalAddress(const char* address);
  // Resolves this machine's own address first when localAddress is empty (host name, then its
  // first IPv4 address; empty when either fails); copies at most size - 1 characters and always
  // ends the buffer with a NUL. Returns the buffer.
  char* getLocalAddress(char* buffer, std::size_t size);

  // Blocking mode switches; false when the call fails.
  Bool16 setNonBlocking();
  Bool16 setBlocking();
  // Waits at most the given time until a read (or a write) would not block. False on a
  // time-out and when the wait itself fails.
  Bool16 waitReadable(long seconds, long microseconds);
  Bool16 waitWritable(long seconds, long microseconds);

  // One option call on the handle, levels and option numbers as the platform defines them.
  Bool16 setOption(int level, int option, const void* value, int length);
  Bool16 getOption(int level, int option, void* value, int* length);

  // Socket-level options. The time-outs are whole seconds; the getters return -1 on failure.
  Bool16 setReceiveTimeout(int seconds);
  Bool16 setSendTimeout(int seconds);
  Bool16 setReceiveBufferSize(int bytes);
  Bool16 setSendBufferSize(int bytes);
  Bool16 setReceiveLowWater(int bytes);
  Bool16 setSendLowWater(int bytes);
  Bool16 setLinger(std::uint16_t on, std::uint16_t seconds);
  int getReceiveTimeout();
  int getSendTimeout();
  int getReceiveBufferSize();
  int getSendBufferSize();
  int getReceiveLowWater();
  int getSendLowWater();
  // TCP options for connected sockets: no coalescing of small writes; probes for a vanished
  // peer.
  Bool16 setNoDelay(Bool16 on);
  Bool16 setKeepAlive(Bool16 on);
  // True when keep-alive probes are on; false when they are off or the query fails.
  Bool16 getKeepAlive();
  // True when small writes leave at once; false when they may wait, or the query fails.
  Bool16 getNoDelay();
  // Seconds of silence before the first keep-alive probe; -1 when the query fails.
  int getKeepAliveIdle();
  // When keep-alive probes start (seconds of silence), how often they go, and how many
  // unanswered ones end the connection; false when the system does not take them.
  Bool16 setKeepAliveTiming(int idleSeconds, int intervalSeconds, int probes);

  std::uint16_t localPort;  // host byte order; 0 lets the system choose
  char localAddress[16];    // dotted quad, empty for every interface
  SocketHandle handle;      // INVALID_SOCKET_HANDLE when none is open

 protected:
  Socket();
  explicit Socket(std::uint16_t port);
  Socket(std::uint16_t port, const char* address);

  // Binds the open handle to localPort on localAddress (every interface when empty).
  bool bindLocal();

  // What a system may not report about the handle, kept here for the backends that need it
  // (Winsock reports neither): whether the interface has the socket in non-blocking mode, and
  // whether shutdownBoth has given it up (kept by every backend: givenUp). Waits in other threads read them; close clears both.
  std::atomic<bool> nonBlocking_;
  std::atomic<bool> shutDown_;
};

// Copies at most 15 characters of text into a 16-byte address field and terminates it.
void copyAddressText(char (&field)[16], const char* text);
