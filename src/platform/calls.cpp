// The one table of platform calls (calls.h), filled with the real functions.
#include "calls.h"

PlatformCalls sys;
