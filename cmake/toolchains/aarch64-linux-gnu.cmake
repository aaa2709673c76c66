# SPDX-License-Identifier: BSD-3-Clause
# Cross build for 64-bit ARM Linux with Debian's aarch64-linux-gnu GCC, tests
# run under qemu-aarch64:
#   cmake -S . -B build-arm64 --toolchain cmake/toolchains/aarch64-linux-gnu.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(TAMRIN_TRIPLE aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${TAMRIN_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TAMRIN_TRIPLE}-g++)

set(CMAKE_FIND_ROOT_PATH /usr/${TAMRIN_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(TAMRIN_QEMU NAMES qemu-aarch64 qemu-aarch64-static NO_CMAKE_FIND_ROOT_PATH)
if(TAMRIN_QEMU)
  # The emulator finds the target's loader and libraries under this prefix.
  set(CMAKE_CROSSCOMPILING_EMULATOR ${TAMRIN_QEMU} -L /usr/${TAMRIN_TRIPLE})
endif()
