# Cross build for s390x Linux, a big-endian host, with Debian's
# g++-s390x-linux-gnu. The program is linked statically, so it runs under
# qemu-s390x (from qemu-user) with no s390x libraries installed.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR s390x)

set(TARVIX_CROSS_TRIPLE s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/gnu-cross.cmake)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-s390x)
