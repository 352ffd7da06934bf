# Cross build for 32-bit Windows, the tool's own target, with Debian's
# g++-mingw-w64-i686. The C++ runtime is linked in, so the .exe needs no DLL
# beyond the system's. No emulator is set: 32-bit Windows programs do not run
# on this machine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(TARVIX_CROSS_TRIPLE i686-w64-mingw32)
# The posix thread model: GoogleTest needs std::mutex, which the win32 model's
# C++ library of GCC 12 lacks. The tool itself uses no C++ threads.
set(TARVIX_CROSS_VARIANT -posix)
include(${CMAKE_CURRENT_LIST_DIR}/gnu-cross.cmake)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
