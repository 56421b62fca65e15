#include "BenchConnection.h"

#include <cerrno>
#include <cstring>

#include "BenchClock.h"
#include "BenchLoop.h"
#include "ConnectionObserver.h"
#include "platform/AsyncConnect.h"
#include "platform/EventPoller.h"
#include "protocol/Packet.h"

namespace {

// Big enough for many packets per receive: a recipient of a busy fan-out gets hundreds of
// packets between two turns. A connection starts small and grows while its inbox fills up, so
// that a thousand quiet users do not each hold the largest.
constexpr std::size_t kInboxSize = 256 * 1024;
constexpr std::size_t kFirstInboxSize = 8 * 1024;

bool isType(const unsigned char* image, const char* code) {
  return std::memcmp(image, code, 4) == 0;
}

// A text payload without its terminator.
std::string textOf(const unsigned char* image, std::size_t size) {
  if (size <= HEADER_SIZE) return "";
  return std::string(reinterpret_cast<const char*>(image + HEADER_SIZE), size - HEADER_SIZE - 1);
}

// A packet with no payload, from nobody.
void appendBare(std::vector<unsigned char>& out, const char* code) {
  Packet packet;
  std::memcpy(packet.type, code, 4);
  unsigned char image[HEADER_SIZE];
  packet.serialize(image);
  out.insert(out.end(), image, image + HEADER_SIZE);
}

}  // namespace

BenchConnection::BenchConnection(BenchLoop& loop, ConnectionObserver& observer, std::string name,
                                 int index)
    : loop_(loop),
      observer_(observer),
      name_(std::move(name)),
      index_(index),
      state_(State::Closed),
      refused_(false),
      quitReceived_(false),
      flushWanted_(false),
      watchingWrites_(false),
      packetsReceived_(0),
      readyAt_(0),
      inbox_(kFirstInboxSize),
      inboxLength_(0),
      outboxSent_(0) {}

BenchConnection::~BenchConnection() {
  if (socket_ != nullptr) {
    loop_.poller().remove(socket_->handle);
    loop_.forget(this);
  }
}

bool BenchConnection::open(const char* host, std::uint16_t port, const std::string& password) {
  if (socket_ != nullptr) return false;  // still open
  failure_.clear();
  refused_ = false;
  quitReceived_ = false;
  packetsReceived_ = 0;
  readyAt_ = 0;
  inboxLength_ = 0;
  outbox_.clear();
  outboxSent_ = 0;
  password_ = password;
  socket_ = std::make_unique<StreamSocket>(port, host);
  const int started = beginConnect(*socket_);
  if (started < 0) {
    socket_.reset();
    failure_ = "cannot connect to " + std::string(host) + ":" + std::to_string(port);
    return false;
  }
  state_ = started > 0 ? State::LoggingIn : State::Connecting;
  watchingWrites_ = state_ == State::Connecting;
  if (!loop_.poller().add(socket_->handle,
                          EventPoller::READABLE | (watchingWrites_ ? EventPoller::WRITABLE : 0),
                          this)) {
    socket_.reset();
    state_ = State::Closed;
    failure_ = "cannot watch the connection";
    return false;
  }
  return true;
}

bool BenchConnection::adopt(std::unique_ptr<StreamSocket> socket) {
  if (socket_ != nullptr) return false;  // still open
  failure_.clear();
  inboxLength_ = 0;
  outbox_.clear();
  outboxSent_ = 0;
  socket_ = std::move(socket);
  if (socket_ == nullptr || !socket_->setNonBlocking()) return false;
  socket_->setNoDelay(1);
  watchingWrites_ = false;
  if (!loop_.poller().add(socket_->handle, EventPoller::READABLE, this)) return false;
  state_ = State::Ready;
  return true;
}

void BenchConnection::send(const unsigned char* bytes, std::size_t size) {
  if (socket_ == nullptr) return;
  outbox_.insert(outbox_.end(), bytes, bytes + size);
  if (!flushWanted_) {
    flushWanted_ = true;
    loop_.wantFlush(this);
  }
}

void BenchConnection::quit() {
  if (socket_ == nullptr) return;
  appendBare(outbox_, "QUIT");
  state_ = State::Quitting;
  if (!flushWanted_) {
    flushWanted_ = true;
    loop_.wantFlush(this);
  }
}

void BenchConnection::close() {
  if (socket_ == nullptr) return;
  loop_.poller().remove(socket_->handle);
  loop_.forget(this);
  flushWanted_ = false;
  socket_.reset();
  state_ = State::Closed;
  observer_.onClosed(*this);
}

void BenchConnection::fail(const std::string& why) {
  if (failure_.empty()) failure_ = why;
  close();
}

void BenchConnection::watch(bool writable) {
  if (writable == watchingWrites_ || socket_ == nullptr) return;
  watchingWrites_ = writable;
  loop_.poller().modify(socket_->handle,
                        EventPoller::READABLE | (writable ? EventPoller::WRITABLE : 0), this);
}

void BenchConnection::handle(std::uint32_t events) {
  if (socket_ == nullptr) return;  // closed earlier in this turn
  if (state_ == State::Connecting) {
    if (!(events & (EventPoller::WRITABLE | EventPoller::FAILED | EventPoller::HUNG_UP))) return;
    if (finishConnect(*socket_) < 0) {
      fail("connection refused by " + std::string(socket_->peerAddress) + ":" +
           std::to_string(socket_->peerPort));
      return;
    }
    state_ = State::LoggingIn;
    watch(false);
  }
  if (events & (EventPoller::READABLE | EventPoller::HUNG_UP | EventPoller::FAILED)) receive();
  if (socket_ != nullptr && (events & EventPoller::WRITABLE)) flush();
}

void BenchConnection::receive() {
  if (inboxLength_ == inbox_.size()) {
    fail("receive buffer overflow");
    return;
  }
  const std::size_t room = inbox_.size() - inboxLength_;
  const std::int32_t got =
      socket_->receive(inbox_.data() + inboxLength_, static_cast<std::int32_t>(room), 0);
  if (got < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    fail(std::string("receive failed: ") + std::strerror(errno));
    return;
  }
  if (got == 0) {
    // The server closed: expected after its QUIT to ours, and after a refusal it has
    // explained; a failure otherwise.
    if ((state_ == State::Quitting && quitReceived_) ||
        (state_ == State::LoggingIn && !failure_.empty())) {
      close();
    } else if (state_ == State::Quitting) {
      fail("the server closed the connection of " + name_ + " without its QUIT");
    } else {
      fail("the server closed the connection of " + name_);
    }
    return;
  }
  inboxLength_ += static_cast<std::size_t>(got);
  // A receive that filled the inbox left more behind: a busy connection reads more at a time.
  if (static_cast<std::size_t>(got) == room && inbox_.size() < kInboxSize) {
    inbox_.resize(inbox_.size() * 2);
  }

  std::size_t at = 0;
  while (socket_ != nullptr) {
    const std::int32_t whole = framedPacketSize(inbox_.data() + at, inboxLength_ - at);
    if (whole < 0) {
      fail("a packet longer than the protocol allows");
      return;
    }
    if (whole == 0 || static_cast<std::size_t>(whole) > inboxLength_ - at) break;
    const unsigned char* image = inbox_.data() + at;
    at += static_cast<std::size_t>(whole);
    ++packetsReceived_;
    if (isType(image, "QUIT")) {
      quitReceived_ = true;
      if (state_ == State::Quitting) continue;  // the answer to ours: the close follows
    }
    if (state_ == State::LoggingIn) {
      loginPacket(image, static_cast<std::size_t>(whole));
    } else {
      observer_.onPacket(*this, image, static_cast<std::size_t>(whole));
    }
  }
  if (socket_ == nullptr) return;
  inboxLength_ -= at;
  if (inboxLength_ > 0 && at > 0) std::memmove(inbox_.data(), inbox_.data() + at, inboxLength_);
}

void BenchConnection::loginPacket(const unsigned char* image, std::size_t size) {
  if (isType(image, "LEVL")) {
    sendLogin(textOf(image, size));
  } else if (isType(image, "CONN")) {
    state_ = State::Ready;
    readyAt_ = nowNanoseconds();
    observer_.onReady(*this);
  } else if (isType(image, "LERR")) {
    fail("login as " + name_ + " refused: " + textOf(image, size));
  } else if (isType(image, "MESS")) {
    const std::string text = textOf(image, size);
    if (text.rfind("Connection limit has been reached", 0) == 0) {
      refused_ = true;
      failure_ = text;
    } else if (text.rfind("Verif", 0) != 0) {
      // Anything but the host check's own progress ends the login.
      failure_ = "login as " + name_ + ": " + text;
    }
  } else if (isType(image, "QUIT")) {
    if (failure_.empty()) failure_ = "the server ended the login of " + name_;
  }
  // HELO, SYID, the user list and MCST need no answer.
}

void BenchConnection::sendLogin(const std::string& level) {
  std::string text = name_;
  if (level != "1") {
    if (password_.empty()) {
      fail("the server asks for passwords (level " + level + "): give --password");
      return;
    }
    text += static_cast<char>(FIELD_SEP);
    text += password_;
  }
  Packet packet;
  std::memcpy(packet.type, "USER", 4);
  text += static_cast<char>(PAYLOAD_END);
  packet.setPayload(text.data(), static_cast<std::uint32_t>(text.size()));
  unsigned char image[MAX_WIRE_SIZE];
  if (HEADER_SIZE + packet.length > sizeof image) {
    fail("user name and password too long");
    return;
  }
  packet.serialize(image);
  send(image, HEADER_SIZE + packet.length);
}

void BenchConnection::flush() {
  flushWanted_ = false;
  if (socket_ == nullptr || state_ == State::Connecting) return;
  const std::size_t left = outbox_.size() - outboxSent_;
  if (left == 0) return;
  const std::int32_t sent =
      socket_->sendNow(outbox_.data() + outboxSent_, static_cast<std::int32_t>(left));
  if (sent < 0) {
    fail(std::string("send failed: ") + std::strerror(errno));
    return;
  }
  outboxSent_ += static_cast<std::size_t>(sent);
  if (outboxSent_ == outbox_.size()) {
    outbox_.clear();
    outboxSent_ = 0;
    watch(false);
  } else {
    watch(true);  // the rest goes when there is room
  }
}
