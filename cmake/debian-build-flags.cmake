# Toolchain file of the package preset: the native compilers with the flags
# Debian builds its packages with (dpkg-buildflags, every hardening feature
# on), less -g and -O2 (the Release build's own optimisation stays, and CPack
# strips the binaries) and the file-prefix map (it names this build folder).
find_program(TARVIX_DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT TARVIX_DPKG_BUILDFLAGS)
  message(FATAL_ERROR "The package preset needs dpkg-buildflags (Debian's dpkg-dev)")
endif()

function(tarvix_debian_flags variable kind)
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
            "${TARVIX_DPKG_BUILDFLAGS}" --get ${kind}
    OUTPUT_VARIABLE flags
    OUTPUT_STRIP_TRAILING_WHITESPACE
    COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(flags UNIX_COMMAND "${flags}")
  list(FILTER flags EXCLUDE REGEX "^(-g|-O2|-ffile-prefix-map=.*)$")
  list(JOIN flags " " flags)
  set(${variable} "${flags}" PARENT_SCOPE)
endfunction()

tarvix_debian_flags(tarvix_cppflags CPPFLAGS)
tarvix_debian_flags(tarvix_cflags CFLAGS)
tarvix_debian_flags(tarvix_cxxflags CXXFLAGS)
tarvix_debian_flags(tarvix_ldflags LDFLAGS)
set(CMAKE_C_FLAGS_INIT "${tarvix_cppflags} ${tarvix_cflags}")
set(CMAKE_CXX_FLAGS_INIT "${tarvix_cppflags} ${tarvix_cxxflags}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${tarvix_ldflags}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${tarvix_ldflags}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${tarvix_ldflags}")
