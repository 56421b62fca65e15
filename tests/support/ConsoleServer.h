// ConsoleServer: a fixture that drives the real server binary at its console, in a fresh
// temporary folder with a .serverrc on a free port. It starts the binary on pipes or on a
// terminal, types commands and returns what each printed, and logs clients in on the binary's
// listener. The binary listens on the address this machine's name resolves to; clients go there
// only when that is a loopback address (clientsReachable()).
//
// Everything is defined in this header: the test programs that use it need nothing more from
// the build.
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
#include "platform/Network.h"

// The console's menu while the service is stopped and while it runs, and its command prompt.
inline const std::string kStoppedMenu =
    "\n\n\t\tServer Commands:\n\n\t\tM Print Menu\n\t\tS Start Services\n\t\tD Diagnostic\n"
    "\t\tC Configure\n\t\tU Add User\n\t\tH Add Host\n\t\tQ Quit\n\n";
inline const std::string kRunningMenu =
    "\n\n\t\tServer Commands:\n\n\t\tM Print Menu\n\t\tP Stop Services\n\t\tL List Users\n"
    "\t\tT Terminate User\n\t\tU Add User\n\t\tH Add Host\n\t\tQ Quit\n\n";
inline const std::string kPrompt = "Enter command> ";

// How many times part occurs in text, the occurrences not overlapping.
inline int occurrences(const std::string& text, const std::string& part) {
  int found = 0;
  for (std::size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + part.size())) {
    ++found;
  }
  return found;
}

class ConsoleServer : public ::testing::Test {
 protected:
  // A fixture that overrides SetUp calls this one first.
  void SetUp() override { ASSERT_NE(port, 0); }

  // Writes the .serverrc: the fixture's port, then the lines given.
  void configure(const std::string& lines) const {
    dir.write(".serverrc", "port " + std::to_string(port) + "\n" + lines);
  }

  // Starts the binary in the folder (with `environment` added to its own) and waits for its
  // first prompt.
  std::unique_ptr<ChildProcess> launch(
      ChildProcess::Console console = ChildProcess::Console::Pipes) const {
    auto child = std::make_unique<ChildProcess>(MSGSERVER_BINARY, std::vector<std::string>{},
                                                dir.path().string(), console, environment);
    EXPECT_TRUE(child->started());
    EXPECT_TRUE(child->waitFor(kPrompt));
    return child;
  }

  // launch(), then S, which must start the service.
  std::unique_ptr<ChildProcess> launchRunning() const {
    auto child = launch();
    EXPECT_EQ(command(*child, "S\n"), "\nServer started.\n" + kRunningMenu + kPrompt);
    return child;
  }

  // Types text at the console and returns what the binary printed up to its next prompt.
  static std::string command(ChildProcess& server, const std::string& text) {
    const std::size_t mark = server.output().size();
    const int prompts = occurrences(server.output(), kPrompt);
    server.write(text);
    EXPECT_TRUE(server.waitForCount(kPrompt, prompts + 1)) << server.outputSince(mark);
    return server.outputSince(mark);
  }

  // Types Q; the binary must end cleanly.
  static void quit(ChildProcess& server) {
    server.write("Q\n");
    EXPECT_EQ(server.waitExit(), 0);
  }

  // Starts the binary with the whole script typed ahead and its input ended after it; the
  // binary must end cleanly. Everything it printed.
  std::string runScript(const std::string& script) const {
    ChildProcess server(MSGSERVER_BINARY, {}, dir.path().string(), ChildProcess::Console::Pipes,
                        environment);
    server.write(script);
    server.closeInput();
    EXPECT_EQ(server.waitExit(), 0);
    return server.output();
  }

  // What a stopped binary printed after its first menu and prompt (which must come first).
  static std::string afterFirstPrompt(const std::string& out) {
    const std::string start = kStoppedMenu + kPrompt;
    EXPECT_EQ(out.rfind(start, 0), 0u) << out;
    return out.substr(out.rfind(start, 0) == 0 ? start.size() : 0);
  }

  // The error log must hold one line: this error, with its time stamp.
  void expectOnlyLoggedError(const std::string& error) const {
    const std::string log = dir.read(".servererrors");
    EXPECT_EQ(log.rfind("ERROR: " + error + "\tAT: ", 0), 0u) << log;
    EXPECT_EQ(occurrences(log, "\n"), 1) << log;
  }

  // True when clients can reach the binary's listener: this machine's name resolves to a
  // loopback address, which is then in ownAddress.
  bool clientsReachable() {
    char own[16] = "";
    if (!resolveOwnAddress(own) || (networkToHost32(convertAddress(own)) >> 24) != 127) {
      return false;
    }
    ownAddress = own;
    return true;
  }

  // A client connected to the binary's listener at servicePort (0: the fixture's port); null
  // when the connection fails. Call clientsReachable() first.
  std::unique_ptr<WireClient> connect(std::uint16_t servicePort = 0) const {
    auto client =
        std::make_unique<WireClient>(servicePort != 0 ? servicePort : port, ownAddress.c_str());
    if (!client->connected()) return nullptr;
    return client;
  }

  // Connects and logs in (WireClient::logIn); null when any step fails. Every packet read goes
  // to *seen when it is given.
  std::unique_ptr<WireClient> login(const std::string& name, const std::string& password = "",
                                    std::vector<std::string>* seen = nullptr,
                                    std::uint16_t servicePort = 0) const {
    auto client = connect(servicePort);
    if (!client) return nullptr;
    auto note = [seen](const std::string& packet) {
      if (seen != nullptr) seen->push_back(packet);
    };
    if (!client->logIn(name, password, note)) return nullptr;
    return client;
  }

  // The next packet that is not a notice of someone's login. (A user who logs in just after
  // another may be told of that one twice: in its list and by the late notice.)
  static std::string nextSkippingLogins(WireClient& client) {
    std::string packet = client.next();
    while (packet.rfind("USER:", 0) == 0) packet = client.next();
    return packet;
  }

  TempDir dir;
  std::uint16_t port = freeLoopbackPort();
  // Added to the binary's environment ("NAME=value").
  std::vector<std::string> environment;
  std::string ownAddress;
};
