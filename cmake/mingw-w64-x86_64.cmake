# Cross-compiling the Windows executable with Debian's MinGW-w64 (packages
# g++-mingw-w64-x86-64-posix, binutils-mingw-w64-x86-64). The -posix compilers are the ones whose
# libstdc++ has std::mutex, which GoogleTest needs; the win32 thread-model ones lack it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KESTOMANDREL_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KESTOMANDREL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KESTOMANDREL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KESTOMANDREL_MINGW_PREFIX}-windres)
# windres preprocesses the .rc with a C compiler; name the one this toolchain uses.
set(CMAKE_RC_FLAGS_INIT "--preprocessor=${KESTOMANDREL_MINGW_PREFIX}-gcc-posix --preprocessor-arg=-E --preprocessor-arg=-xc --preprocessor-arg=-DRC_INVOKED")

# Libraries, headers and packages come from the MinGW-w64 tree only, never from the Linux host
# (whose libgtest would otherwise be found and fail to link).
set(CMAKE_FIND_ROOT_PATH /usr/${KESTOMANDREL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# A static link: the executables import only Windows' own DLLs (KERNEL32, ADVAPI32, msvcrt), none
# of MinGW's (libstdc++, libgcc, libwinpthread).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
