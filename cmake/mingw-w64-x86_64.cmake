# Cross build for 64-bit Windows with Debian's g++-mingw-w64-x86-64. The C++
# runtime is linked in, so each .exe runs under wine64 with nothing else.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TARVIX_CROSS_TRIPLE x86_64-w64-mingw32)
# The posix thread model: GoogleTest needs std::mutex, which the win32 model's
# C++ library of GCC 12 lacks. The tool itself uses no C++ threads.
set(TARVIX_CROSS_VARIANT -posix)
include(${CMAKE_CURRENT_LIST_DIR}/gnu-cross.cmake)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# The tests run under wine64, in a wine prefix of the build folder's own.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine64-run.sh ${CMAKE_BINARY_DIR}/wine)
