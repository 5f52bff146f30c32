// On Windows the hottest calls stay out of line, in Sync.cpp, so that <windows.h> and its
// macros never reach the runtime's headers.
#pragma once

namespace Platform {

uint32_t CurrentThreadIdOutOfLine();
inline uint32_t CurrentThreadId() {
    return CurrentThreadIdOutOfLine();
}

}  // namespace Platform
