# Cross-build for 32-bit ARMv7 Linux with hardware floating point (armhf:
# Raspberry Pi 2 and later, Zero 2 W with a 32-bit system) with Debian's
# cross compiler and the C library of its cross packages.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
find_program(UPM_CROSS_CXX arm-linux-gnueabihf-g++)
if(NOT UPM_CROSS_CXX)
  # One line that says what to install.
  message(FATAL_ERROR "No armhf cross compiler: apt-get install g++-arm-linux-gnueabihf")
endif()
set(CMAKE_CXX_COMPILER ${UPM_CROSS_CXX})
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Programs built here run under Debian's qemu-arm-static.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static)
