#pragma once
// Translation of the operating system's error numbers into the socket layer's
// platform error numbers (10035 would block, 10054 reset, 11001 host not found, ...).

namespace toruna::net {

// errno of a failed socket call; an errno with no counterpart maps to 10022
// ("Invalid argument"), the closest general-purpose code the layer has a text for.
int PlatformErrorFromErrno(int error);

// Result of a failed getaddrinfo (its EAI_ code, and errno for EAI_SYSTEM).
int PlatformErrorFromLookup(int eaiCode, int systemErrno);

}  // namespace toruna::net
