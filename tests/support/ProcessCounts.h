// What the leak checks count in this process: the open descriptors (on Windows the open
// handles of files, pipes, sockets and consoles; thread and mutex handles are not among them),
// the live threads (not one that has been joined but is still on its way out), and the peak of
// its memory (the address space on Linux, committed memory on Windows, which has no
// address-space peak): an allocation of gigabytes shows there even if it is never touched or is
// freed at once. Each is -1 when the system does not say.
#pragma once

#include <string>

int openDescriptors();
// What each open descriptor is ("5 -> socket:[123]", one a line), for a failure message; empty
// where the system does not say.
std::string describeDescriptors();
int threadCount();
long peakVirtualKilobytes();
