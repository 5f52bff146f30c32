# 32-bit Linux, for running the shared logic and the POSIX layer at 32-bit pointer size on
# machines whose kernel runs no 32-bit program: each program is linked static and runs
# under qemu's user-mode emulation, which needs no 32-bit libraries on the host.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT "-m32")
set(CMAKE_CXX_FLAGS_INIT "-m32")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32 -static")
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

find_program(CU_QEMU_I386 qemu-i386-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CU_QEMU_I386})

# Tells the test build that glibc is linked static (see tests/CMakeLists.txt).
set(CU_STATIC_GLIBC ON)
