// The server's files and output are the same bytes on every system: a line ends in a line
// feed alone, as on the systems where the data files may also be kept. The Windows runtime
// would otherwise turn each line feed it writes into CR LF, in the data files, in the logs and
// in what the console prints to a pipe. Standard input stays in text mode: a CR LF typed at the
// console reads as a line feed, and Ctrl-Z at the start of a line ends the input there, as
// Windows operators expect.
//
// The runtime's start-up code reads _fmode, the default mode of every file opened without "b"
// or "t"; defining it here makes the linker take this definition (and with it this file) into
// every program that uses the platform library, ahead of the runtime's own text-mode default.
#include <fcntl.h>
#include <io.h>

#include <cstdio>

int _fmode = _O_BINARY;

namespace {

struct BinaryOutput {
  BinaryOutput() {
    std::fflush(stdout);
    std::fflush(stderr);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
  }
};

const BinaryOutput binaryOutput;

}  // namespace
