# 64-bit Windows, where a machine runs no 32-bit program.
set(CU_MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
