# Cross build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix: the
# "posix" thread model has std::thread). Programs are linked statically, so they need no
# DLLs, and CTest runs them under Wine (wine64):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
#   cmake --build build-win -j2 && ctest --test-dir build-win
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KESTREL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KESTREL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTREL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTREL_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KESTREL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# No libstdc++, libgcc or winpthread DLLs beside the programs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Runs a Windows program under Wine with a Wine prefix of this build folder's own
# (never the user's ~/.wine) and without Wine's debug chatter.
set(CMAKE_CROSSCOMPILING_EMULATOR "${CMAKE_CURRENT_LIST_DIR}/wine-run;${CMAKE_BINARY_DIR}/wine-prefix")
