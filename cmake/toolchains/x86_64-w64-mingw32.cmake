# SPDX-License-Identifier: BSD-3-Clause
# Cross build for 64-bit Windows with Debian's MinGW-w64 GCC (posix thread
# model, so std::thread works), tests run under wine:
#   cmake -S . -B build-windows --toolchain cmake/toolchains/x86_64-w64-mingw32.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAMRIN_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TAMRIN_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAMRIN_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${TAMRIN_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TAMRIN_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs carry their C++ runtime and thread library, so they run without
# MinGW's DLLs on the path.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# The 64-bit Windows ABI keeps the stack 16-byte aligned and GCC cannot
# realign it there, yet it spills 32- and 64-byte vectors with aligned moves:
# the AVX2 and AVX-512 builds of the fast kernel would fault. The assembler
# turns those moves into unaligned ones, which are as fast on aligned data.
set(CMAKE_C_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")
set(CMAKE_CXX_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")

# Debian's wine64 package installs its loader outside the path.
find_program(TAMRIN_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(TAMRIN_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAMRIN_WINE})
endif()
