# Cross build for i686 Linux, a 32-bit little-endian host, with Debian's
# g++-i686-linux-gnu (not g++-multilib, which conflicts with the other cross
# compilers). The program is linked statically and runs under qemu-i386.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(TARVIX_CROSS_TRIPLE i686-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/gnu-cross.cmake)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-i386)
