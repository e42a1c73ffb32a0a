# Cross build of the 32-bit reference helper and blocker.
set(QM_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR X86)
include(${CMAKE_CURRENT_LIST_DIR}/MingwToolchain.cmake)
