// FuzzSupport: what the fuzz targets share: a private working folder, a server set up by hand
// with slots on socket pairs, bounded reads of what the server wrote, and the check that turns
// a broken promise into a crash the fuzzer (or the replay test) reports.
// Thread safety: none; every target runs on one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "core/Server.h"
#include "platform/StreamSocket.h"
#include "protocol/Packet.h"
#include "sessions/ConnectionSlot.h"

// Aborts with the condition and the place when a promise of the code under test is broken: the
// fuzzer keeps the input as a crash, and its replay test fails.
#define FUZZ_CHECK(condition)                                          \
  do {                                                                 \
    if (!(condition)) fuzzCheckFailed(#condition, __FILE__, __LINE__); \
  } while (0)

[[noreturn]] void fuzzCheckFailed(const char* condition, const char* file, int line);

// The process's own temporary folder, made on first use and removed when the process exits.
const std::filesystem::path& fuzzFolder();

// Moves the working directory into fuzzFolder() for one scope, so that relative paths from an
// input stay inside it, and back afterwards (the fuzzer reads its corpus by relative paths).
class InFuzzFolder {
 public:
  InFuzzFolder();
  ~InFuzzFolder();
  InFuzzFolder(const InFuzzFolder&) = delete;
  InFuzzFolder& operator=(const InFuzzFolder&) = delete;

 private:
  std::filesystem::path previous_;
};

// Replaces the file's content with the bytes.
void writeFile(const std::filesystem::path& path, const std::uint8_t* data, std::size_t size);
std::string readFile(const std::filesystem::path& path);
// Empties a log that has grown past a megabyte, so that a long run does not fill the disk.
void trimLog(const std::filesystem::path& path);

// A connected pair of stream sockets: the server's end on the heap (for a slot to own) and the
// client's end.
struct FuzzConnection {
  FuzzConnection();
  StreamSocket* server = nullptr;
  std::unique_ptr<StreamSocket> client;
};

// Sends every byte to the socket (it must have room: inputs are kept far below the socket's
// buffer); false when the socket fails.
bool sendAll(StreamSocket& socket, const std::uint8_t* data, std::size_t size);
// Reads whatever is waiting on the socket without waiting for more.
std::string drain(StreamSocket& socket);

// A stopped server with capacity + 1 empty slots, its files in fuzzFolder(), no
// login time-out and short send time-outs. Connections given to slots are closed by reset.
class FuzzServer {
 public:
  explicit FuzzServer(int capacity);
  ~FuzzServer();

  // Gives the slot a fresh connection from peerAddress and, with a name, logs it in as the
  // workers would have; returns the client's end.
  StreamSocket& connect(int index, const char* name = nullptr, const char* peerAddress = "");
  // Takes every slot back to empty and the registry with it.
  void reset();
  ConnectionSlot* slot(int index) { return server.slots[index]; }

  Server server;

 private:
  std::vector<std::unique_ptr<StreamSocket>> clients_;
};

// The text with a carriage return before every line feed that has none: the same file as
// written on a system whose lines end in CR LF.
std::string withCarriageReturns(const std::string& text);

// A packet's wire image.
std::string wireImageOf(const Packet& packet);
// True when the packet holds exactly the wire image's fields and payload.
bool packetMatches(const Packet& packet, const std::uint8_t* image, std::size_t size);
