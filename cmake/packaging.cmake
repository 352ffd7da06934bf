# Install rules, the CMake package, the pkg-config file, the manual page and
# the Debian package made by CPack. Included from the top-level CMakeLists.txt
# when TARVIX_INSTALL is on.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(tarvix_package_dir "${CMAKE_INSTALL_LIBDIR}/cmake/tarvix")
set(tarvix_generated_dir "${PROJECT_BINARY_DIR}/packaging")

# The program.
if(TARGET tarvix)
  install(TARGETS tarvix RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}")
endif()

# The library and its public headers, in include/tarvix/. Consumers include
# them as <tarvix/container.h>; block_encoder_internal.h is for the tests only.
install(TARGETS tarvix_library
  EXPORT tarvixTargets
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}"
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}"
  FILE_SET HEADERS DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}")
# The description of the file format, beside the headers' documentation.
install(FILES "${PROJECT_SOURCE_DIR}/docs/format.md" DESTINATION "${CMAKE_INSTALL_DOCDIR}")

# The CMake package: find_package(tarvix CONFIG) gives the target tarvix::tarvix
# (and tarvix::codec, its first name).
install(EXPORT tarvixTargets
  NAMESPACE tarvix::
  FILE tarvixTargets.cmake
  DESTINATION "${tarvix_package_dir}")
configure_package_config_file(
  "${CMAKE_CURRENT_LIST_DIR}/tarvixConfig.cmake.in"
  "${tarvix_generated_dir}/tarvixConfig.cmake"
  INSTALL_DESTINATION "${tarvix_package_dir}")
write_basic_package_version_file(
  "${tarvix_generated_dir}/tarvixConfigVersion.cmake"
  VERSION "${PROJECT_VERSION}"
  COMPATIBILITY SameMajorVersion)
install(FILES
  "${tarvix_generated_dir}/tarvixConfig.cmake"
  "${tarvix_generated_dir}/tarvixConfigVersion.cmake"
  DESTINATION "${tarvix_package_dir}")

# The pkg-config file. Its prefix is the one in force when installing, so
# `cmake --install --prefix DIR` and the Debian package (prefix /usr) both get
# a file that points at where the library really is.
set(TARVIX_PC_PREFIX "@TARVIX_PC_PREFIX@")  # kept for the second pass, at install time
configure_file("${CMAKE_CURRENT_LIST_DIR}/tarvix.pc.in" "${tarvix_generated_dir}/tarvix.pc.in" @ONLY)
install(CODE "
  set(TARVIX_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${tarvix_generated_dir}/tarvix.pc.in\" \"${tarvix_generated_dir}/tarvix.pc\" @ONLY)
")
install(FILES "${tarvix_generated_dir}/tarvix.pc" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig")

# The manual page: docs/tarvix.1 with the project's version put into its .TH
# line, compressed as Debian does (gzip -9n) when gzip is at hand.
set(tarvix_man_source "${PROJECT_SOURCE_DIR}/docs/tarvix.1")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${tarvix_man_source}")
file(READ "${tarvix_man_source}" tarvix_man_text)
string(REGEX REPLACE "\n\\.TH TARVIX 1 ([^ \n]+) tarvix " "\n.TH TARVIX 1 \\1 \"tarvix ${PROJECT_VERSION}\" "
       tarvix_man_versioned "${tarvix_man_text}")
if(tarvix_man_versioned STREQUAL tarvix_man_text)
  message(FATAL_ERROR "docs/tarvix.1: no line '.TH TARVIX 1 DATE tarvix \"User Commands\"' to put the version in")
endif()
file(CONFIGURE OUTPUT "${tarvix_generated_dir}/man1/tarvix.1" CONTENT "${tarvix_man_versioned}")
find_program(TARVIX_GZIP gzip)
mark_as_advanced(TARVIX_GZIP)
if(TARVIX_GZIP)
  add_custom_command(
    OUTPUT "${tarvix_generated_dir}/man1/tarvix.1.gz"
    COMMAND "${TARVIX_GZIP}" -9nkf "${tarvix_generated_dir}/man1/tarvix.1"
    DEPENDS "${tarvix_generated_dir}/man1/tarvix.1"
    COMMENT "Compressing the manual page"
    VERBATIM)
  add_custom_target(tarvix_man ALL DEPENDS "${tarvix_generated_dir}/man1/tarvix.1.gz")
  install(FILES "${tarvix_generated_dir}/man1/tarvix.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
else()
  install(FILES "${tarvix_generated_dir}/man1/tarvix.1" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1")
endif()

# The copyright file in Debian's machine-readable form (the MIT licence is
# called Expat there) and a changelog, both in share/doc/tarvix.
file(READ "${PROJECT_SOURCE_DIR}/LICENSE" tarvix_license_text)
string(REGEX REPLACE "^[^\n]*\n\n" "" tarvix_license_body "${tarvix_license_text}")  # the title
string(REGEX REPLACE "^Copyright \\(c\\) ([^\n]*)\n\n" "" tarvix_license_body "${tarvix_license_body}")
string(REGEX REPLACE "\n+$" "" tarvix_license_body "${tarvix_license_body}")
string(REPLACE "\n\n" "\n.\n" tarvix_license_body "${tarvix_license_body}")
string(REPLACE "\n" "\n " tarvix_license_body "${tarvix_license_body}")
file(CONFIGURE OUTPUT "${tarvix_generated_dir}/copyright" CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: tarvix

Files: *
Copyright: 2026 The tarvix developers
License: Expat

License: Expat
 ${tarvix_license_body}
")
configure_file("${CMAKE_CURRENT_LIST_DIR}/changelog.in" "${tarvix_generated_dir}/changelog" @ONLY)
set(tarvix_doc_files "${tarvix_generated_dir}/copyright")
if(TARVIX_GZIP)
  add_custom_command(
    OUTPUT "${tarvix_generated_dir}/changelog.gz"
    COMMAND "${TARVIX_GZIP}" -9nkf "${tarvix_generated_dir}/changelog"
    DEPENDS "${tarvix_generated_dir}/changelog"
    VERBATIM)
  add_custom_target(tarvix_changelog ALL DEPENDS "${tarvix_generated_dir}/changelog.gz")
  list(APPEND tarvix_doc_files "${tarvix_generated_dir}/changelog.gz")
else()
  list(APPEND tarvix_doc_files "${tarvix_generated_dir}/changelog")
endif()
install(FILES ${tarvix_doc_files} DESTINATION "${CMAKE_INSTALL_DOCDIR}")

# The Debian package: cpack -G DEB in the build folder gives
# tarvix_VERSION_ARCH.deb with everything above under /usr.
set(CPACK_PACKAGE_NAME tarvix)
set(CPACK_PACKAGE_VENDOR "The tarvix developers")
set(CPACK_PACKAGE_CONTACT "The tarvix developers <tarvix@example.org>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "compress one file into another, or restore it")
set(CPACK_PACKAGE_DESCRIPTION
"tarvix compresses one file into another, or restores a compressed file, in
one command: tarvix SOURCE TARGET. The direction is chosen from the first four
bytes of the source. It codes 8 KiB blocks with a greedy LZ77 coder and has no
options.

The package also holds the library for other programs: tarvix files made and
restored in memory, and the block codec, as a static C++20 library with its
headers, a CMake package (find_package(tarvix)) and a pkg-config file.")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/\\\\.cache/")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
find_program(TARVIX_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(TARVIX_DPKG_SHLIBDEPS)
if(TARVIX_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
