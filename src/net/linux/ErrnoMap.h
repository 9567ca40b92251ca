#pragma once
// Translation of the operating system's error numbers into the socket layer's
// platform error numbers (10035 would block, 10054 reset, 11001 host not found, ...).

namespace toruna::net {

// errno of a failed socket call. An errno with no counterpart keeps its own number
// (always below the platform's numbers, which start at 10000), so that the text
// names it for what it is, "Unknown error", and the number still tells which.
int PlatformErrorFromErrno(int error);

// Result of a failed getaddrinfo (its EAI_ code, and errno for EAI_SYSTEM).
int PlatformErrorFromLookup(int eaiCode, int systemErrno);

}  // namespace toruna::net
