# Shared by the cross toolchain files: Debian's GNU cross compilers for the
# triple in TARVIX_CROSS_TRIPLE, with their libraries and headers found only in
# that triple's root, and the build machine's programs used as they are.
# TARVIX_CROSS_VARIANT picks one of Debian's variants of a compiler ("-posix").
set(CMAKE_C_COMPILER ${TARVIX_CROSS_TRIPLE}-gcc${TARVIX_CROSS_VARIANT})
set(CMAKE_CXX_COMPILER ${TARVIX_CROSS_TRIPLE}-g++${TARVIX_CROSS_VARIANT})
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  set(CMAKE_RC_COMPILER ${TARVIX_CROSS_TRIPLE}-windres)
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${TARVIX_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
