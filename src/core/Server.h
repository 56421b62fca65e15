// Server: the one server object: its settings, its runtime state and almost every operation of
// the system. This header is the index: the operations are grouped by the file that holds them,
// and the Server is a facade over the parts that own the shared state:
//
//   ServiceGate   (core/)      halting, and which thread may still speak to clients; lock-free
//   Acceptor      (sessions/)  the turn at accepting, the connection count and the capacity
//   SessionTable  (sessions/)  the slots and the registry of logged-in users, under users
//   Transport     (protocol/)  every byte to and from clients, under each slot's send lock
//   SessionLoop   (sessions/)  the thread that reads and routes every logged-in client's packets
//
// Locks, outermost first (core/LockOrder.h; checked in debug and sanitizer builds):
//
//   accept mutex       "%08x::Accept"        the turn at accepting           Acceptor
//   connections mutex  "%08x::fConnections"  connectionCount                 Acceptor
//   send lock          (unnamed, per slot)   every write to one client       ConnectionSlot
//   users mutex        "%08x::fUsers"        the registry, slots' userName   SessionTable
//   file mutex         the file's path       one data file: passwd or hosts; taken with a
//                                            bounded wait (store/FileLock.h), and an operation
//                                            whose wait fails reports and gives up
//   settingsLock       (std::mutex)          the four paths and mcastAddress; innermost, held
//                                            only to copy a value in or out
//   each log's lock    (std::mutex)          one line of a log (store/LogFile.h); innermost
//   hash turns         (std::mutex)          the count of hashes being checked
//                                            (store/HashTurns.h); innermost, held only to count
//   hand-over locks    (std::mutex)          the session loop's queue, and one slot's hand-over
//                                            (sessions/SessionLoop.h); innermost
//
// Accept and users are never held together; one thread holds at most one send lock; a thread
// may take users while it holds its own send lock (an admission keeps its user list whole), but
// never a send lock while it holds users. No send, no file-lock wait and no pause happens while
// users is held; no lock is held while a worker or the session loop waits for a client's packet; a file operation
// releases its own file mutex before it writes to the error log. Every named mutex is
// recursive.
//
// The numeric settings are atomics: the console thread writes them while workers read them.
// What each setting may hold (its words, its range, the multicast address test) is written once
// in core/Settings.h; the values live here.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/ConfigProblems.h"
#include "core/ServiceGate.h"
#include "core/Settings.h"
#include "platform/PlatformTypes.h"
#include "platform/ServerSocket.h"
#include "protocol/Transport.h"
#include "sessions/Acceptor.h"
#include "sessions/SessionLoop.h"
#include "sessions/SessionTable.h"
#include "sessions/UserRegistry.h"
#include "store/HashTurns.h"
#include "store/LogFile.h"

class ConnectionSlot;
class Mutex;
class Packet;

// The longest user name and password the console accepts for a new account.
inline constexpr int MAX_USER_NAME_LENGTH = 8;
// The longest name a client may log in with: its entry in a user list must fit one packet.
inline constexpr int MAX_LOGIN_NAME_LENGTH = 127;
inline constexpr int MAX_PASSWORD_LENGTH = 8;

// Buffer size for a copy of a configured path; longer paths are refused where they are set.
inline constexpr std::size_t PATH_TEXT_SIZE = 4096;
// Buffer size of a time stamp and of most report lines.
inline constexpr std::size_t TEXT_LINE_SIZE = 256;

class ServerBase {
 public:
  virtual ~ServerBase() = 0;

  // The address the server listens on and gives as its own (SYID), network byte order; 0 when
  // it listens on every address.
  std::uint32_t hostAddress;
  std::uint32_t processId;    // the prefix of every mutex name
  std::atomic<SecurityLevel> securityLevel;
  std::time_t startTime;      // when the service was started; 0 while stopped

 protected:
  ServerBase();
};

class Server : public ServerBase {
 public:
  // Builds the stopped server with its defaults and the given capacity; resolves this
  // machine's address (its host name's first IPv4 address) for the listener and hostAddress;
  // when the name does not resolve, the listener takes every address and hostAddress is 0.
  explicit Server(std::int32_t capacity);
  // Stops a running service first (with its notices to the users).
  ~Server() override;

  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // --- core/Server.cpp: registry callbacks and error reporting
  static const char* slotKey(ConnectionSlot* slot);
  static int compareSlotName(ConnectionSlot* slot, const char* name);
  // Prints message and a line feed on the console, then appends it to the error log.
  void report(const char* message);

  // --- core/ServerConfig.cpp: the configuration file, setters and getters
  // True when the file was opened (even if nothing in it was usable). A missing file is
  // reported; the settings then keep their values. Each line that cannot be used as written
  // goes to configProblems, which is emptied first; when printProblems is set they are
  // printed after the reading, under "Warnings:".
  Bool16 readConfigFile(const char* path, bool printProblems = true);
  // One report line ("\n\t...") per problem in configProblems, each naming the file, the line,
  // the word and the value in force now, and a last line with the count of those not kept.
  std::string describeConfigProblems() const;
  // The address to listen on and to give as the server's own (dotted, at most 15 characters;
  // empty: every address). Takes effect at the next start.
  void setListenAddress(const char* address);
  void setPasswdFile(const char* path);
  void setHostsFile(const char* path);
  void setConnectionLogFile(const char* path);
  void setErrorLogFile(const char* path);
  // Copies at most 15 characters and terminates the field.
  void setMcastAddress(const char* address);
  // Each copies at most size - 1 characters into buffer and terminates it at size - 1; the
  // path getters return null (buffer untouched) when the path is not set.
  char* getMcastAddress(char* buffer, std::size_t size) const;
  char* getPasswdFile(char* buffer, std::size_t size) const;
  char* getHostsFile(char* buffer, std::size_t size) const;
  char* getConnectionLogFile(char* buffer, std::size_t size) const;
  char* getErrorLogFile(char* buffer, std::size_t size) const;

  // --- store/ServerLogs.cpp: connection log and error log
  // The local time as "weekday month day hh:mm:ss zone".
  static void formatTimeStamp(char* buffer, std::size_t size, std::time_t when);
  Bool16 logConnect(const char* userName, std::uint16_t port, const char* clientAddress);
  Bool16 logDisconnect(const char* userName, std::uint16_t port, const char* clientAddress);
  // Appends "ERROR: message<TAB>AT: stamp"; prints only its own failures (a file that cannot
  // be opened or written) and returns false.
  Bool16 logError(const char* message);
  // Closes both logs, which stay open between lines; the next line opens its log again.
  void closeLogs();

  // --- protocol/ServerTransport.cpp: one packet out to a client, one packet in from it (over
  // Transport)
  // Sends packet to the slot's client with the text as its payload (none for null; textLength
  // -1 for a NUL-terminated text, else the payload length with its terminator). The payload
  // always ends in PAYLOAD_END and is cut to MAX_PAYLOAD_SIZE. Takes the slot's send lock.
  // Returns the bytes sent, or -1; afterwards packet holds no payload.
  std::int32_t sendPacket(ConnectionSlot* slot, Packet* packet, const char* text,
                          std::int32_t textLength);
  // The wire image sendPacket would send, written to image (MAX_WIRE_SIZE bytes); its size.
  // Afterwards packet holds no payload.
  static std::int32_t composePacket(Packet* packet, const char* text, std::int32_t textLength,
                                    unsigned char* image);
  // Waits for one whole packet from the slot's client and reads it into packet: its payload
  // length (HEADER_SIZE for none), or -1 when the connection failed or closed, or the header
  // claims more than MAX_PAYLOAD_SIZE bytes. Only the slot's own worker calls it.
  std::int32_t receivePacket(ConnectionSlot* slot, Packet* packet);
  // Queues one wire image in the slot's outbox and writes what is queued unless another thread
  // is at it. A client that fails, falls too far behind or takes nothing in time has its
  // connection shut down, so that its worker tears it down, and the result is -1
  // (Transport::deliver).
  std::int32_t deliver(ConnectionSlot* slot, const unsigned char* image, std::int32_t size);
  // deliver for a caller that already holds the slot's send lock.
  std::int32_t deliverHeld(ConnectionSlot* slot, const unsigned char* image, std::int32_t size);

  // --- protocol/ServerBuilders.cpp: the packets the server originates
  // Each fills type, timestamp and sequence of the caller's packet (sender fields are the
  // caller's) and returns what sendPacket returns.
  std::int32_t sendHello(ConnectionSlot* slot, Packet* packet);
  std::int32_t sendMessage(ConnectionSlot* slot, Packet* packet, const char* text);
  std::int32_t sendLevel(ConnectionSlot* slot, Packet* packet);
  std::int32_t sendLoginError(ConnectionSlot* slot, Packet* packet, const char* text);
  std::int32_t sendSystemId(ConnectionSlot* slot, Packet* packet);
  // The other admitted users, in parts of at most USER_LIST_LIMIT bytes, 10 ms apart. Takes
  // users for a moment, then holds the recipient's send lock across every part, so that nothing
  // else reaches it inside its list. The sum sent, or -1.
  std::int32_t sendUserList(ConnectionSlot* slot, Packet* packet);
  std::int32_t sendMulticastGroup(ConnectionSlot* slot, Packet* packet);
  std::int32_t sendConnected(ConnectionSlot* slot, Packet* packet);
  // The joined (or gone) slot's name and address are read unlocked: its own worker calls these,
  // or a caller that knows the slot cannot change meanwhile. Takes the recipient's send lock.
  std::int32_t sendUserJoined(ConnectionSlot* recipient, Packet* packet, ConnectionSlot* joined);
  std::int32_t sendUserGone(ConnectionSlot* recipient, Packet* packet, ConnectionSlot* gone);
  std::int32_t sendQuit(ConnectionSlot* slot, Packet* packet);

  // The wire images of a user's entry as a joined notice (fullName: its full name), and of a
  // GONE with the name; their sizes, or -1 for an entry too long for any packet.
  static std::int32_t composeUserJoined(Packet* packet, const ListedUser& user,
                                        const char* fullName, unsigned char* image);
  static std::int32_t composeUserGone(Packet* packet, const char* name, unsigned char* image);

  // --- store/ServerPasswords.cpp: the password file, "name:password:full name" per line
  // (blank lines skipped). Only addUser creates a missing file (mode 0600, announced). A
  // password field that begins with '$' is a hash (platform/PasswordHash.h); any other is the
  // password in clear.
  // True when the first record for the name carries exactly that password, or a hash of it.
  // A hash is checked after the file mutex is let go, in one of hashTurns' turns; a hash this
  // system cannot check is reported and admits nobody. Takes no other lock.
  Bool16 verifyPassword(const char* userName, const char* password);
  // The password field U writes for password, in field: the password itself, or its hash when
  // passwordStorage asks for one. False (reported) when the system cannot hash, or when a
  // password kept in clear begins with '$' (it would read back as a hash).
  Bool16 passwordField(const char* password, char* field, std::size_t size);
  // How many records of the password file hold a password in clear, and how many a hash this
  // system cannot check; false when the file cannot be read.
  Bool16 countPasswordRecords(long* clear, long* uncheckable);
  // The user's full name (or "UNAVAILABLE") in buffer, cut to size - 1 and NUL-padded; null
  // (buffer untouched) when the file cannot be used.
  char* lookupFullName(const char* userName, char* buffer, std::size_t size);
  // The full names of users in one pass over the file: (*fullNames)[i] is users[i]'s, or
  // "UNAVAILABLE" (for every user when the file cannot be used, and at FREEFORALL, where no
  // file is read).
  void lookupFullNames(const std::vector<ListedUser>& users, std::vector<std::string>* fullNames);
  // Appends "name:password:full name"; false (file unchanged) when the name is already there
  // or the file cannot be read or parsed.
  Bool16 addUser(const char* userName, const char* password, const char* fullName);

  // --- store/ServerHosts.cpp: the trusted-hosts file, one dotted-quad address per line
  // (blank lines skipped). Only addTrustedHost creates a missing file (mode 0644, announced).
  Bool16 isTrustedHost(const char* address);
  // Appends the address; false (file unchanged) when it is blank or listed, or the file is
  // unusable.
  Bool16 addTrustedHost(const char* address);

  // --- protocol/ServerRouting.cpp: what a logged-in client's packets do
  // Acts on one packet from the slot's client; false ends the session (the client quit).
  Bool16 dispatchPacket(ConnectionSlot* slot, Packet* packet);
  // Delivers a PRIV, MAIL or GRAP packet from sender's session to the names before its
  // RECIPIENTS_END, or to every logged-in user when the first name is "everyone": the packet as
  // the client sent it, but for its sender fields, which the server sets to the session's user
  // name (first 8 bytes) and address. The sender of a PRIV or MAIL is told of each name not
  // logged in. False when the packet names nobody. The caller's packet is not changed. Looks
  // each recipient up under users, then writes to it under its send lock alone.
  Bool16 routePacket(ConnectionSlot* sender, Packet* packet);
  // The same for a packet of the server's own, with no session behind it: delivered with the
  // sender fields it has, and nobody is told of absent recipients.
  Bool16 routePacket(Packet* packet);

  // --- sessions/ServerLogin.cpp: the login handshake
  // Tells the client the level and checks its USER packets until one is accepted (true: the
  // slot's userName is set and the slot is in users) or the turn must end (false: neither).
  // Called with no mutex held.
  Bool16 loginHandshake(ConnectionSlot* slot, Packet* outgoing, Packet* incoming);
  // Why nobody may log in under name (the refusal's text), or null when anybody may: names
  // hold no control characters (below 32, and 127) and no separator bytes (0xFC to 0xFF), and
  // at most MAX_LOGIN_NAME_LENGTH bytes.
  static const char* loginNameProblem(const char* name);

  // --- sessions/ServerWorker.cpp: the worker threads, one per slot
  // The thread procedure: argument is a heap text "%p %p" with the slot and the server; it is
  // freed here. Returns when the service stops.
  static void workerThread(char* argument);
  // Frees what a slot holds: its socket (closing it), its thread (which must be ending: it is
  // joined), its user name. The caller frees the slot.
  void teardownSlot(ConnectionSlot* slot);

  // --- core/ServerControl.cpp: start, stop and diagnostics (console thread only)
  // False when already running, the diagnostics fail or the listener cannot be opened (the
  // report then names the address, the port and the system's reason).
  Bool16 start();
  // Prints the line that follows "Server started.": the address and port clients reach.
  void reportListening();
  // Tells every logged-in user, then halts and joins the workers and frees every slot. False
  // when not running.
  Bool16 stop();
  // True when every check passes; otherwise prints and logs one report with a line per failure.
  // Warnings (the problems of the configuration file when withFileProblems is set, a password
  // file others may read) are printed after it, never logged, and do not fail the check.
  Bool16 runDiagnostics(bool withFileProblems = true);

  // --- sessions/ServerUsers.cpp: listing and terminating users (console thread)
  // Prints the time and one line per logged-in user in byte order of the names. Takes users
  // for a copy of the list, and prints with no lock held.
  void listUsers();
  // One user's line: name, address and connect time ("%I:%M%p"). The caller holds users.
  static void printUserLine(ConnectionSlot* slot);
  // Sends the user MESS "Connection terminated by server." and QUIT, nothing of its own worker's
  // between them, then shuts its connection down so that its worker tears it down. False when
  // no user of that name is logged in. Takes users to find it, then its send lock alone.
  Bool16 terminateUser(const char* name);

  // --- console/ServerTerminate.cpp: the T prompt (console thread)
  void promptTerminateUser();

  // --- console/ServerConfigure.cpp: the configuration dialogue (console thread)
  // Every setting in turn; an empty answer keeps a value. Returns early when the console input
  // ends.
  void configure();
  void promptSecurityLevel();
  void promptHostCheck();
  void promptServerPort();
  void promptPasswdFile();
  void promptHostsFile();
  void promptConnectionLogFile();
  void promptErrorLogFile();
  void promptMulticastGroup();
  void promptUserLimit();

  // --- console/ServerAccounts.cpp: adding users and trusted hosts (console thread)
  void promptAddUser();
  void promptAddHost();

  // --- console/ServerCommandLoop.cpp: the operator's command loop
  // Runs until Q, or until the console input ends (which acts as Q).
  void commandLoop();
  void printMenu();
  // The next command: its letter in upper case, 'Q' at the end of input, 0 for a line that is
  // not one letter.
  int readCommand();

  // --- the parts that own the shared state (declared before the fields that refer to them)
  ServiceGate gate;
  SessionTable sessions;
  Acceptor acceptor;
  Transport transport;
  SessionLoop sessionLoop;  // serves every logged-in client (sessions/SessionLoop.h)
  HashTurns hashTurns;  // the password hashes checked at once (store/HashTurns.h)

  // --- settings and state
  ConnectionSlot**& slots;  // capacity + 1 slots while running, else null (sessions.slots)
  UserRegistry& users;      // the logged-in users (sessions.users)
  std::atomic<Bool16> hostCheck;
  std::atomic<Bool16> running;
  std::atomic<std::int32_t> capacity;
  std::atomic<std::int32_t>& connectionCount;  // acceptor.connectionCount
  char* passwdFile;                           // the four paths: under settingsLock
  char* hostsFile;
  char* connectionLogFile;
  char* errorLogFile;
  std::atomic<std::uint16_t> mcastPort;
  std::atomic<std::int32_t> mcastTtl;
  char mcastAddress[Settings::kMulticastAddressSize];  // under settingsLock
  ServerSocket listener;  // its localPort is the server port; touched by the console thread

  char localHostText[16];  // the listener's address as sent in senderHost; set by start
  std::uint16_t listenPort;  // the port the listener is bound to; set by start
  ConfigProblems configProblems;  // of the last reading of the configuration file
  int& sendTimeoutMilliseconds;  // how long a client may leave its outbox untaken (transport's)
  // Seconds a connection may take to log in, and a packet to arrive whole once begun
  // ("logintimeout"; 0: no limit).
  std::atomic<std::int32_t> loginTimeout;
  // The most connections one address may hold at once, logged in or not ("maxperhost"; 0: no
  // limit).
  std::atomic<std::int32_t> maxPerHost;
  // The packets per second a logged-in client may send, QUIT aside ("messagerate"; 0: no
  // limit), and how many it may send at once after a pause ("messageburst"; 0: one second's
  // worth).
  std::atomic<std::int32_t> messageRate;
  std::atomic<std::int32_t> messageBurst;
  // How U stores a new user's password ("passwordhash"; CLEAR_PASSWORDS: as typed).
  std::atomic<PasswordStorage> passwordStorage;

 private:
  void replacePath(char*& field, const char* path);
  char* copyPath(const char* const& field, char* buffer, std::size_t size) const;
  void applyConfigLine(char* line, long lineNumber);
  SettingProblem applySetting(ConfigKey key, const char* value);
  void describeValueInForce(ConfigKey key, char* buffer, std::size_t size) const;
  void applyMcastAddress(const char* value);
  void runWorker(ConnectionSlot* slot);
  void teardownConnection(ConnectionSlot* slot, Packet* outgoing);
  Acceptor::Verdict takeConnection(ConnectionSlot* slot);
  // TCP_NODELAY and the keep-alive probes: set on each connection, or once on the listener
  // where connections take its options.
  static void setConnectionOptions(Socket& socket);
  bool greetAndCheckHost(ConnectionSlot* slot, Packet* outgoing);
  enum class TokenWait { Go, Wait, Flood };
  TokenWait takeToken(ConnectionSlot* slot, bool retry, std::int64_t* resumeAt);
  SessionLoop::Outcome servePacket(ConnectionSlot* slot, Packet* packet, bool retry,
                                   std::int64_t* resumeAt);
  // Serves what an admitted client sends within moments of its login, on its own worker:
  // true when the session is over, false when the session loop is to serve it.
  bool serveFirstPackets(ConnectionSlot* slot);
  void admitUser(ConnectionSlot* slot, Packet* outgoing);
  std::int32_t sendListed(ConnectionSlot* slot, Packet* packet, const std::vector<ListedUser>& listed);
  std::int32_t composeStopNotice(Packet* packet, unsigned char* image);
  bool promptMulticastAddress();
  bool promptMulticastPort();
  bool promptMulticastTtl();
  void promptFileName(const char* format, char* (Server::*get)(char*, std::size_t) const,
                      void (Server::*set)(const char*));
  void reportSession(const char* format, ConnectionSlot* slot, const char* detail);

  LogFile connectionLog_;
  LogFile errorLog_;
  // Appends "Connection Error: <why> for "<name>" from <address>." to the error log only (null
  // name: without the name part); the name is cut at its first separator byte and masked.
  void logRefusedLogin(ConnectionSlot* slot, const char* name, const char* why);
  void notifyUndeliverable(ConnectionSlot* sender, const char* recipient);
  Bool16 appendConnectionLine(const char* format, const char* userName, std::uint16_t port,
                              const char* clientAddress);

  mutable std::mutex settingsLock;
};
