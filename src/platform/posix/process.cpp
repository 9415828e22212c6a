// Stands in for kernel32's process calls: the last error (errno) and the
// process id.
#include <unistd.h>

#include "platform.h"

DWORD GetLastError() { return static_cast<DWORD>(errno); }

void SetLastError(DWORD err) { errno = static_cast<int>(err); }

DWORD GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }
