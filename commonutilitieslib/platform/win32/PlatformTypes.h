// Storage of the platform objects that the runtime embeds, on Windows. Kept free of
// <windows.h> so that its macros (Yield among them) never reach the runtime's headers;
// the sizes are checked against the real types where they are used.
#pragma once

#include <cstdint>

namespace Platform {

// AF_INET6 on Windows, checked where the socket headers are included.
constexpr uint16_t kAddressFamilyInet6 = 23;

struct NativeCriticalSection {
    alignas(void*) unsigned char fBytes[sizeof(void*) == 4 ? 24 : 40];
};

}  // namespace Platform

// Calling convention of window procedures and other platform callbacks.
#define CU_WINAPI __stdcall
