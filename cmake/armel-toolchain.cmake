# Cross-build for the camera's CPU: ARM926EJ-S (ARMv5TE, 32-bit, soft float),
# with Debian's arm-linux-gnueabi toolchain (crossbuild-essential-armel).
# Programs built here run on the host under qemu-arm, which CTest and the
# GoogleTest discovery use as the emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(TVR_CROSS_TRIPLET arm-linux-gnueabi)
set(CMAKE_C_COMPILER ${TVR_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TVR_CROSS_TRIPLET}-g++)
set(CMAKE_C_FLAGS_INIT "-march=armv5te -mfloat-abi=soft")
set(CMAKE_CXX_FLAGS_INIT "-march=armv5te -mfloat-abi=soft")

set(TVR_CROSS_SYSROOT /usr/${TVR_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH ${TVR_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -cpu arm926 -L ${TVR_CROSS_SYSROOT})
