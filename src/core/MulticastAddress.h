// isMulticastAddress: the one test of a multicast group address, shared by the configuration
// dialogue (which refuses what fails it) and the diagnostics (which refuse to start with it).
#pragma once

// True when text is exactly one IPv4 address in 224.0.0.0-239.255.255.255, in any of the
// classic dotted forms (shorter, hexadecimal, octal), with nothing before or after it: the
// address conversion stops at white space, so "239.9.9.9 junk" would otherwise pass whole and
// reach every client as the group.
bool isMulticastAddress(const char* text);
