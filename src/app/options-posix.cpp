#include "app/options.h"

// The arguments are the caller's bytes, unconverted.
bool argumentsAreExact(int, const char* const*, std::string*) { return true; }
