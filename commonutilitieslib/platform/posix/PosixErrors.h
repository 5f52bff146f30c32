// Translation between errno and the Windows error codes the runtime's error table uses.
#pragma once

#include <cstdint>

namespace Platform {

// errno values without a Windows counterpart travel as kErrnoBase + errno, so that they
// stay visible in logs and still map to the runtime's catch-all number.
constexpr uint32_t kErrnoBase = 0x20000000;

uint32_t WindowsCodeFromErrno(int error);
int ErrnoFromWindowsCode(uint32_t code);

}  // namespace Platform
