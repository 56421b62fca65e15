// What the leak checks count in this process on Windows, where there is no /proc: the open
// handles of files, pipes, sockets and consoles (what Linux counts as descriptors; thread and
// mutex handles are not among them), the live threads, and the peak of committed memory. Each
// is -1 when the system does not say.
#pragma once

int openFileHandles();
int processThreadCount();
long peakCommittedKilobytes();
