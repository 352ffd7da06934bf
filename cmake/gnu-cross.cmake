# Shared by the cross toolchain files: Debian's GNU cross compilers for the
# triple in TARVIX_CROSS_TRIPLE, with their libraries and headers found only in
# that triple's root, and the build machine's programs used as they are.
set(CMAKE_C_COMPILER ${TARVIX_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${TARVIX_CROSS_TRIPLE}-g++)
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  set(CMAKE_RC_COMPILER ${TARVIX_CROSS_TRIPLE}-windres)
endif()

set(CMAKE_FIND_ROOT_PATH /usr/${TARVIX_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
