#include "ConsoleServer.h"

const std::string kStoppedMenu =
    "\n\n\t\tServer Commands:\n\n\t\tM Print Menu\n\t\tS Start Services\n\t\tD Diagnostic\n"
    "\t\tC Configure\n\t\tU Add User\n\t\tH Add Host\n\t\tQ Quit\n\n";
const std::string kRunningMenu =
    "\n\n\t\tServer Commands:\n\n\t\tM Print Menu\n\t\tP Stop Services\n\t\tL List Users\n"
    "\t\tT Terminate User\n\t\tU Add User\n\t\tH Add Host\n\t\tQ Quit\n\n";
const std::string kPrompt = "Enter command> ";

int occurrences(const std::string& text, const std::string& part) {
  int found = 0;
  for (std::size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + part.size())) {
    ++found;
  }
  return found;
}

void ConsoleServer::configure(const std::string& lines) const {
  dir.write(".serverrc", "port " + std::to_string(port) + "\nlisten " + ownAddress + "\n" + lines);
}

std::string ConsoleServer::startedText(std::uint16_t servicePort) const {
  return "Server started.\nListening on " + ownAddress + " port " +
         std::to_string(servicePort != 0 ? servicePort : port) + ".\n";
}

std::unique_ptr<ChildProcess> ConsoleServer::launch(ChildProcess::Console console) const {
  auto child = std::make_unique<ChildProcess>(MSGSERVER_BINARY, std::vector<std::string>{},
                                              dir.path().string(), console, environment);
  EXPECT_TRUE(child->started());
  EXPECT_TRUE(child->waitFor(kPrompt));
  return child;
}

std::unique_ptr<ChildProcess> ConsoleServer::launchRunning() const {
  auto child = launch();
  EXPECT_EQ(command(*child, "S\n"), "\n" + startedText() + kRunningMenu + kPrompt);
  return child;
}

std::string ConsoleServer::command(ChildProcess& server, const std::string& text) {
  const std::size_t mark = server.output().size();
  const int prompts = occurrences(server.output(), kPrompt);
  server.write(text);
  EXPECT_TRUE(server.waitForCount(kPrompt, prompts + 1)) << server.outputSince(mark);
  return server.outputSince(mark);
}

void ConsoleServer::quit(ChildProcess& server) {
  server.write("Q\n");
  EXPECT_EQ(server.waitExit(), 0);
}

std::string ConsoleServer::runScript(const std::string& script) const {
  ChildProcess server(MSGSERVER_BINARY, {}, dir.path().string(), ChildProcess::Console::Pipes,
                      environment);
  server.write(script);
  server.closeInput();
  EXPECT_EQ(server.waitExit(), 0);
  return server.output();
}

std::string ConsoleServer::afterFirstPrompt(const std::string& out) {
  const std::string start = kStoppedMenu + kPrompt;
  EXPECT_EQ(out.rfind(start, 0), 0u) << out;
  return out.substr(out.rfind(start, 0) == 0 ? start.size() : 0);
}

void ConsoleServer::expectOnlyLoggedError(const std::string& error) const {
  const std::string log = dir.read(".servererrors");
  EXPECT_EQ(log.rfind("ERROR: " + error + "\tAT: ", 0), 0u) << log;
  EXPECT_EQ(occurrences(log, "\n"), 1) << log;
}

std::unique_ptr<WireClient> ConsoleServer::connect(std::uint16_t servicePort) const {
  auto client =
      std::make_unique<WireClient>(servicePort != 0 ? servicePort : port, ownAddress.c_str());
  if (!client->connected()) return nullptr;
  return client;
}

std::unique_ptr<WireClient> ConsoleServer::login(const std::string& name,
                                                 const std::string& password,
                                                 std::vector<std::string>* seen,
                                                 std::uint16_t servicePort) const {
  auto client = connect(servicePort);
  if (!client) return nullptr;
  auto note = [seen](const std::string& packet) {
    if (seen != nullptr) seen->push_back(packet);
  };
  if (!client->logIn(name, password, note)) return nullptr;
  return client;
}

std::string ConsoleServer::nextSkippingLogins(WireClient& client) {
  std::string packet = client.next();
  while (packet.rfind("USER:", 0) == 0) packet = client.next();
  return packet;
}
