// ConnectionObserver: what a scenario learns from its connections. The connection runs the
// login by itself; from CONN on (at once for a connection without login) every packet it
// receives is handed over whole, as its wire image.
// Thread safety: called on the loop's thread only.
#pragma once

#include <cstddef>

class BenchConnection;

class ConnectionObserver {
 public:
  virtual ~ConnectionObserver() = default;

  // The login is complete (CONN arrived).
  virtual void onReady(BenchConnection& connection) { (void)connection; }
  // One whole packet (header and payload, size bytes) received after the login.
  virtual void onPacket(BenchConnection& connection, const unsigned char* image,
                        std::size_t size) = 0;
  // The connection has ended, whatever the reason (see BenchConnection's fields).
  virtual void onClosed(BenchConnection& connection) { (void)connection; }
};
