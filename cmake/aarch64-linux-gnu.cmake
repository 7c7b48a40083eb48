# Cross-compiling for aarch64 Linux with Debian's g++-aarch64-linux-gnu
# (scripts/aarch64.sh). UNSEAL_TARGET_ROOT is a folder of aarch64 libraries
# built or unpacked for the target (GoogleTest, OpenSSL); the tests and the
# build steps that run target programs go through CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu ${UNSEAL_TARGET_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Passed on to the configure steps that try-compile.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES UNSEAL_TARGET_ROOT)
