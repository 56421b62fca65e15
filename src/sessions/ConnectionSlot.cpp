#include "sessions/ConnectionSlot.h"

#include <cstdlib>

#include "platform/Mutex.h"
#include "platform/StreamSocket.h"

ConnectionSlot::ConnectionSlot()
    : socket(nullptr),
      thread(nullptr),
      threadId(0),
      userName(nullptr),
      connectTime(0),
      countedHost{},
      loginSerial(0),
      senderFields{},
      sendLock(new Mutex(0, nullptr, nullptr)),
      writing(false),
      stalledSince(0),
      outboxBytes(0),
      corked(false),
      listing(false),
      flushPending(false),
      batch(nullptr),
      awaitsBatchWrite(false),
      loopIndex(-1),
      loopEvents(0),
      held(false),
      heldUntil(0),
      inLoop(false),
      tokens(0),
      tokensAt(0),
      throttledSince(0),
      admitted(false),
      peerClosed(false),
      inboxFront(0),
      inboxLength(0),
      partialSince(0),
      loginDeadline(0) {}

ConnectionSlot::~ConnectionSlot() {
  delete socket;
  socket = nullptr;
  delete sendLock;
  sendLock = nullptr;
  if (thread != nullptr && thread->joinable()) thread->detach();
  delete thread;
  thread = nullptr;
  std::free(userName);
  userName = nullptr;
}
