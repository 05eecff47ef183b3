# A 64-bit twin of the Windows program from the same sources, for a 64-bit
# Wine on machines that cannot run 32-bit code.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(mingw_target x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
