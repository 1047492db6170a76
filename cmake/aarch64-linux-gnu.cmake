# Cross-compiling the Linux tool for 64-bit ARM with Debian's cross compiler (package
# g++-aarch64-linux-gnu), for ARM servers and boards and for the AArch64 virtual machines.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(KESTOMANDREL_AARCH64_PREFIX aarch64-linux-gnu)
set(CMAKE_C_COMPILER ${KESTOMANDREL_AARCH64_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${KESTOMANDREL_AARCH64_PREFIX}-g++)

# Headers and libraries come from the cross tree only, never from the x86_64 host.
set(CMAKE_FIND_ROOT_PATH /usr/${KESTOMANDREL_AARCH64_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
