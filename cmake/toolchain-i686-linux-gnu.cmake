# Cross build for 32-bit x86 Linux (proves the 32-bit `long` behaviour on a PC), with Debian's
# g++-i686-linux-gnu. Use with -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-i686-linux-gnu.cmake
# and point ACE_INCLUDE_DIR / ACE_LIBRARY at the target's ACE.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER i686-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER i686-linux-gnu-g++)
# Appended to, so that a build can add the root of libraries of its own
# (-DCMAKE_FIND_ROOT_PATH=...).
list(APPEND CMAKE_FIND_ROOT_PATH /usr/i686-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
