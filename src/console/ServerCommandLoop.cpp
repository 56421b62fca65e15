// The operator's command loop: one letter per line, the menu before every prompt.
#include <cstdio>
#include <cstring>

#include "console/ConsoleInput.h"
#include "core/Server.h"

void Server::printMenu() {
  std::printf("\n\n\t\tServer Commands:\n\n");
  std::printf("\t\tM Print Menu\n");
  if (running) {
    std::printf("\t\tP Stop Services\n");
    std::printf("\t\tL List Users\n");
    std::printf("\t\tT Terminate User\n");
  } else {
    std::printf("\t\tS Start Services\n");
    std::printf("\t\tD Diagnostic\n");
    std::printf("\t\tC Configure\n");
  }
  std::printf("\t\tU Add User\n");
  std::printf("\t\tH Add Host\n");
  std::printf("\t\tQ Quit\n\n");
}

int Server::readCommand() {
  char line[64];
  bool cut = false;
  if (ConsoleInput::readLine(line, sizeof line, &cut) < 0) return 'Q';
  // A command is a line of one letter, with spaces or tabs around it allowed: "please list the
  // users" is not S for "stop", it is no command at all.
  const char* text = line + std::strspn(line, " \t");
  std::size_t length = std::strlen(text);
  while (length > 0 && (text[length - 1] == ' ' || text[length - 1] == '\t')) --length;
  if (cut || length != 1) return 0;
  const int letter = static_cast<unsigned char>(text[0]);
  return letter >= 'a' && letter <= 'z' ? letter - 'a' + 'A' : letter;
}

void Server::commandLoop() {
  for (;;) {
    printMenu();
    ConsoleInput::prompt("Enter command> ");
    // The end of input acts as Q: there is nobody left to give commands.
    const int command = readCommand();
    std::printf("\n");
    switch (command) {
      case 'M':
        printMenu();
        break;
      case 'S':
        if (start()) {
          std::printf("Server started.\n");
          reportListening();
        } else {
          std::printf("Server not started.\n");
        }
        break;
      case 'P':
        if (stop()) std::printf("Server Stopped.\n");
        break;
      case 'D':
        std::printf(runDiagnostics() ? "Diagnostics Complete: No errors found.\n"
                                     : "Diagnostics Complete: Errors found.\n");
        break;
      case 'C':
        configure();
        if (!ConsoleInput::ended()) std::printf("Configuration Complete.\n");
        break;
      case 'L':
        listUsers();
        break;
      case 'T':
        promptTerminateUser();
        break;
      case 'U':
        promptAddUser();
        break;
      case 'H':
        promptAddHost();
        break;
      case 'Q':
        break;
      default:
        std::printf("Invalid Command!\n");
        break;
    }
    // A command that met the end of input ends the loop as Q would.
    if (command == 'Q' || ConsoleInput::ended()) {
      std::printf("Exiting.\n");
      if (running && stop()) std::printf("Server Stopped.\n");
      std::fflush(stdout);
      return;
    }
  }
}
