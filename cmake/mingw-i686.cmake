# Cross toolchain: 32-bit Windows, MinGW-w64 with the posix thread model.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(_tc i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
