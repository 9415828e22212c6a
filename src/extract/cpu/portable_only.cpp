// Targets without a wider filter set the build knows (arm64, MSVC, ...):
// the trailer search runs the portable 16-byte filters alone.
#include "trailer_filters.h"

const TrailerFilters* wide_trailer_filters() { return nullptr; }
