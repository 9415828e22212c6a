// Stands in for kernel32's Sleep in a page, where it returns at once. A
// worker can wait without spinning the processor only on shared memory
// (Atomics.wait), which a page has only when it is isolated from other
// origins, and the one pause a run takes, for a downloader that a browser
// or a virus scanner may still be writing, means nothing for a File: it is
// a snapshot that nothing writes.
#include "platform.h"

void Sleep(DWORD) {}
