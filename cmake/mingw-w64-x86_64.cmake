# Cross-compiles the utility for 64-bit Windows with MinGW-w64 on Linux.
#
# The posix threads variant of the compiler is used when it is installed (it
# gives std::thread and std::mutex); everything is linked statically so that
# korva-maint.exe runs on a bare Windows machine with no DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KORVA_MINGW_PREFIX x86_64-w64-mingw32)
find_program(KORVA_MINGW_CXX NAMES ${KORVA_MINGW_PREFIX}-g++-posix ${KORVA_MINGW_PREFIX}-g++
             REQUIRED)
find_program(KORVA_MINGW_CC NAMES ${KORVA_MINGW_PREFIX}-gcc-posix ${KORVA_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${KORVA_MINGW_CXX})
if(KORVA_MINGW_CC)
  set(CMAKE_C_COMPILER ${KORVA_MINGW_CC})
endif()
set(CMAKE_RC_COMPILER ${KORVA_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KORVA_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# C99/C++ printf formats (%zu, %lld) in the MinGW C library as well.
add_compile_definitions(__USE_MINGW_ANSI_STDIO=1)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The tests run under Wine.
find_program(KORVA_WINE NAMES wine wine64)
if(KORVA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${KORVA_WINE})
endif()

# This compiler's optimiser reports impossible std::string and std::vector
# copies (sizes near 2^63) as -Wrestrict and -Warray-bounds in code that is
# clean under the native compiler and the sanitizers: keep them as warnings.
set(CMAKE_CXX_FLAGS_INIT "-Wno-error=restrict -Wno-error=array-bounds")
