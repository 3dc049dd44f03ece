# Cross-build for 64-bit ARM Linux (arm64: Raspberry Pi 3, 4, 5 and Zero 2 W
# with a 64-bit system) with Debian's cross compiler and the C library of its
# cross packages.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
find_program(UPM_CROSS_CXX aarch64-linux-gnu-g++)
if(NOT UPM_CROSS_CXX)
  # One line that says what to install.
  message(FATAL_ERROR "No arm64 cross compiler: apt-get install g++-aarch64-linux-gnu")
endif()
set(CMAKE_CXX_COMPILER ${UPM_CROSS_CXX})
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Programs built here run under Debian's qemu-aarch64-static.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64-static)
