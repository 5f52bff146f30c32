# 32-bit Windows, the runtime's target.
set(CU_MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
