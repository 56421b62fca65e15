// The operator's command loop: one letter per line, the menu before every prompt.
#include <cstdio>

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

void Server::commandLoop() {
  for (;;) {
    printMenu();
    ConsoleInput::prompt("Enter command> ");
    int c = ConsoleInput::readCharacter();
    // The end of input acts as Q: there is nobody left to give commands.
    int command = c < 0 ? 'Q' : c;
    if (c >= 0 && c != '\n') ConsoleInput::discardLine();
    std::printf("\n");
    if (command >= 'a' && command <= 'z') command = command - 'a' + 'A';
    switch (command) {
      case 'M':
        printMenu();
        break;
      case 'S':
        std::printf(start() ? "Server started.\n" : "Server not started.\n");
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
