#pragma once

#include <cstdint>

// The socket functions are linked into the program on Linux, so there is no
// library to load at run time and no entry point to bind on first use.
// EIdWS2StubError (IdException.h) is kept for callers that catch it; nothing on
// this platform raises it.

// Starting the socket library always succeeds (0) and does nothing.
int32_t StartupSocketLibrary(uint16_t AVersion);
void UnloadSocketLibrary();
