# Cross toolchain: the x86-64 twin of the 32-bit build, for machines that cannot run 32-bit code.
# Same sources, same targets; only what the ABI fixes differs.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(_tc x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
# Debian's wine wrapper would pick the 32-bit loader when wine32 is installed.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/lib/wine/wine64)
