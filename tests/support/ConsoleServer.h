// ConsoleServer: a fixture that drives the real server binary at its console, in a fresh
// temporary folder with a .serverrc that has it listen on 127.0.0.1 on a free port (so that no
// test depends on what this machine's name resolves to). It starts the binary on pipes or on a
// terminal, types commands and returns what each printed, and logs clients in on the binary's
// listener.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "ServiceFixture.h"
#include "TempDir.h"
#include "WireClient.h"

// The console's menu while the service is stopped and while it runs, and its command prompt.
extern const std::string kStoppedMenu;
extern const std::string kRunningMenu;
extern const std::string kPrompt;

// How many times part occurs in text, the occurrences not overlapping.
int occurrences(const std::string& text, const std::string& part);

class ConsoleServer : public ::testing::Test {
 protected:
  // A fixture that overrides SetUp calls this one first.
  void SetUp() override { ASSERT_NE(port, 0); }

  // Writes the .serverrc: the fixture's port and listening address, then the lines given.
  void configure(const std::string& lines) const;

  // What S prints when the service starts on the fixture's port (servicePort: another).
  std::string startedText(std::uint16_t servicePort = 0) const;

  // Starts the binary in the folder (with `environment` added to its own) and waits for its
  // first prompt.
  std::unique_ptr<ChildProcess> launch(
      ChildProcess::Console console = ChildProcess::Console::Pipes) const;

  // launch(), then S, which must start the service.
  std::unique_ptr<ChildProcess> launchRunning() const;

  // Types text at the console and returns what the binary printed up to its next prompt.
  static std::string command(ChildProcess& server, const std::string& text);

  // Types Q; the binary must end cleanly.
  static void quit(ChildProcess& server);

  // Starts the binary with the whole script typed ahead and its input ended after it; the
  // binary must end cleanly. Everything it printed.
  std::string runScript(const std::string& script) const;

  // What a stopped binary printed after its first menu and prompt (which must come first).
  static std::string afterFirstPrompt(const std::string& out);

  // The error log must hold one line: this error, with its time stamp.
  void expectOnlyLoggedError(const std::string& error) const;

  // A client connected to the binary's listener at servicePort (0: the fixture's port); null
  // when the connection fails.
  std::unique_ptr<WireClient> connect(std::uint16_t servicePort = 0) const;

  // Connects and logs in (WireClient::logIn); null when any step fails. Every packet read goes
  // to *seen when it is given.
  std::unique_ptr<WireClient> login(const std::string& name, const std::string& password = "",
                                    std::vector<std::string>* seen = nullptr,
                                    std::uint16_t servicePort = 0) const;

  // The next packet that is not a notice of someone's login. (A user who logs in just after
  // another may be told of that one twice: in its list and by the late notice.)
  static std::string nextSkippingLogins(WireClient& client);

  TempDir dir;
  std::uint16_t port = freeLoopbackPort();
  // Added to the binary's environment ("NAME=value").
  std::vector<std::string> environment;
  // The address the binary listens on, and gives as its own.
  std::string ownAddress = "127.0.0.1";
};
