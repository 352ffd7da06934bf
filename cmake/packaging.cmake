# Install rules, the CMake package, the pkg-config file, the manual page and
# the Debian packages made by CPack. Included from the top-level CMakeLists.txt
# when TARVIX_INSTALL is on.
#
# Every file belongs to one install component, and each component is one
# Debian package, split as Debian splits a library:
#   Tool         tarvix          the programs tarvix and tvx (with untvx and
#                                tvxcat) and their manual pages
#   Runtime      libtarvix1      the shared library libtarvix.so.1
#   Development  libtarvix-dev   the headers, libtarvix.a, the libtarvix.so
#                                link, the CMake package, tarvix.pc,
#                                format.md and the examples
#   Python       python3-tarvix  the Python module, with its extension
# `cmake --install` installs them all. Each package's copyright file and
# changelog lie in share/doc/<package>.
include(CMakePackageConfigHelpers)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(tarvix_package_dir "${CMAKE_INSTALL_LIBDIR}/cmake/tarvix")
set(tarvix_generated_dir "${PROJECT_BINARY_DIR}/packaging")
set(tarvix_doc_root "${CMAKE_INSTALL_DATAROOTDIR}/doc")
set(tarvix_dev_doc_dir "${tarvix_doc_root}/libtarvix-dev")
find_program(TARVIX_GZIP gzip)
mark_as_advanced(TARVIX_GZIP)

# The programs, and the names untvx and tvxcat: links to tvx, or on Windows,
# where a link may need rights a user lacks, copies of tvx.exe. (The
# variables that cmake --install sets stand escaped, for its time.)
if(TARGET tarvix)
  install(TARGETS tarvix tvx RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT Tool)
  # Copied from the installed (and, for a package, stripped) tvx.exe.
  if(WIN32)
    set(tarvix_make_name "file(COPY_FILE \"\${bin}/tvx.exe\" \"\${bin}/\${name}.exe\")")
  else()
    set(tarvix_make_name "file(CREATE_LINK tvx \"\${bin}/\${name}\" SYMBOLIC)")
  endif()
  foreach(name IN ITEMS untvx tvxcat)
    install(CODE "
      set(bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
      set(name ${name})
      message(STATUS \"Installing: \${bin}/\${name}${CMAKE_EXECUTABLE_SUFFIX}\")
      ${tarvix_make_name}
    " COMPONENT Tool)
  endforeach()
endif()

# The libraries, and the public headers in include/tarvix/ (consumers include
# them as <tarvix/tarvix.h>, <tarvix/container.h>; block_encoder_internal.h is
# for the tests only). The shared library's versioned file and its SONAME link
# are the runtime; the plain libtarvix.so link is for building against it.
set(tarvix_library_targets tarvix_library)
if(TARGET tarvix_shared)
  list(APPEND tarvix_library_targets tarvix_shared)
endif()
install(TARGETS ${tarvix_library_targets}
  EXPORT tarvixTargets
  ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT Development
  LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT Runtime NAMELINK_COMPONENT Development
  RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT Runtime
  FILE_SET HEADERS DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT Development)
# The description of the file format, and the examples, beside the headers.
install(FILES "${PROJECT_SOURCE_DIR}/docs/format.md" DESTINATION "${tarvix_dev_doc_dir}"
  COMPONENT Development)
install(FILES
    "${PROJECT_SOURCE_DIR}/examples/CMakeLists.txt"
    "${PROJECT_SOURCE_DIR}/examples/whole_file.cpp"
    "${PROJECT_SOURCE_DIR}/examples/stream_file.c"
    "${PROJECT_SOURCE_DIR}/examples/tarvix_file.py"
  DESTINATION "${tarvix_dev_doc_dir}/examples"
  COMPONENT Development)

# The CMake package: find_package(tarvix CONFIG) gives tarvix::tarvix_static,
# tarvix::tarvix_shared, and tarvix::tarvix (and tarvix::codec, its first
# name) for whichever of them the user asks for.
install(EXPORT tarvixTargets
  NAMESPACE tarvix::
  FILE tarvixTargets.cmake
  DESTINATION "${tarvix_package_dir}"
  COMPONENT Development)
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
  DESTINATION "${tarvix_package_dir}"
  COMPONENT Development)

# The pkg-config file. Its prefix is the one in force when installing, so
# `cmake --install --prefix DIR` and the Debian packages (prefix /usr) both get
# a file that points at where the library really is. A program linked with
# `pkg-config --static` takes libtarvix.a, which needs the C++ runtime.
set(TARVIX_PC_PREFIX "@TARVIX_PC_PREFIX@")  # kept for the second pass, at install time
set(TARVIX_PC_LIBS_PRIVATE "")
foreach(library IN LISTS TARVIX_CXX_RUNTIME_LIBRARIES)  # from src/CMakeLists.txt
  if(IS_ABSOLUTE "${library}")
    string(APPEND TARVIX_PC_LIBS_PRIVATE " ${library}")
  else()
    string(APPEND TARVIX_PC_LIBS_PRIVATE " -l${library}")
  endif()
endforeach()
string(STRIP "${TARVIX_PC_LIBS_PRIVATE}" TARVIX_PC_LIBS_PRIVATE)
configure_file("${CMAKE_CURRENT_LIST_DIR}/tarvix.pc.in" "${tarvix_generated_dir}/tarvix.pc.in" @ONLY)
install(CODE "
  set(TARVIX_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${tarvix_generated_dir}/tarvix.pc.in\" \"${tarvix_generated_dir}/tarvix.pc\" @ONLY)
" COMPONENT Development)
install(FILES "${tarvix_generated_dir}/tarvix.pc" DESTINATION "${CMAKE_INSTALL_LIBDIR}/pkgconfig"
  COMPONENT Development)

# The manual pages: docs/tarvix.1 and docs/tvx.1 with the project's version
# put into their .TH lines. On Windows, which has no man, they are rendered
# as plain text (tvx.txt, tarvix.txt) beside the other documents, when groff
# is at hand; elsewhere they are compressed as Debian does (gzip -9n), when
# gzip is at hand, and untvx.1 and tvxcat.1 are links to tvx.1.
set(tarvix_man_suffix "")
if(WIN32)
  find_program(TARVIX_GROFF groff)
  mark_as_advanced(TARVIX_GROFF)
  if(TARVIX_GROFF)
    set(tarvix_man_suffix ".txt")
  endif()
elseif(TARVIX_GZIP)
  set(tarvix_man_suffix ".gz")
endif()
set(tarvix_man_pages "")
foreach(page IN ITEMS tarvix tvx)
  string(TOUPPER "${page}" title)
  set(source "${PROJECT_SOURCE_DIR}/docs/${page}.1")
  set(generated "${tarvix_generated_dir}/man1/${page}.1")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source}")
  file(READ "${source}" text)
  string(REGEX REPLACE "\n\\.TH ${title} 1 ([^ \n]+) tarvix "
         "\n.TH ${title} 1 \\1 \"tarvix ${PROJECT_VERSION}\" " versioned "${text}")
  if(versioned STREQUAL text)
    message(FATAL_ERROR "docs/${page}.1: no line '.TH ${title} 1 DATE tarvix \"User Commands\"' to put the version in")
  endif()
  file(CONFIGURE OUTPUT "${generated}" CONTENT "${versioned}")
  if(tarvix_man_suffix STREQUAL ".txt")
    # Plain ASCII: no overstriking for bold or underlining, no hyphenation.
    set(rendered "${tarvix_generated_dir}/text/${page}.txt")
    add_custom_command(
      OUTPUT "${rendered}"
      COMMAND "${TARVIX_GROFF}" -man -Tascii -P-cbou -rHY=0 "${generated}" > "${rendered}"
      DEPENDS "${generated}"
      COMMENT "Rendering the manual page ${page}.1 as text")
    list(APPEND tarvix_man_pages "${rendered}")
  elseif(tarvix_man_suffix STREQUAL ".gz")
    add_custom_command(
      OUTPUT "${generated}.gz"
      COMMAND "${TARVIX_GZIP}" -9nkf "${generated}"
      DEPENDS "${generated}"
      COMMENT "Compressing the manual page ${page}.1"
      VERBATIM)
    list(APPEND tarvix_man_pages "${generated}.gz")
  else()
    list(APPEND tarvix_man_pages "${generated}")
  endif()
endforeach()
add_custom_target(tarvix_man ALL DEPENDS ${tarvix_man_pages})
if(TARGET tarvix AND WIN32)
  install(FILES ${tarvix_man_pages} DESTINATION "${tarvix_doc_root}/tarvix" COMPONENT Tool)
elseif(TARGET tarvix)
  install(FILES ${tarvix_man_pages} DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT Tool)
  foreach(name IN ITEMS untvx tvxcat)
    install(CODE "
      set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_MANDIR}/man1/${name}.1${tarvix_man_suffix}\")
      message(STATUS \"Installing: \${link}\")
      file(CREATE_LINK tvx.1${tarvix_man_suffix} \"\${link}\" SYMBOLIC)
    " COMPONENT Tool)
  endforeach()
endif()

# The copyright file in Debian's machine-readable form (the MIT licence is
# called Expat there) and a changelog, for each package's share/doc/<package>.
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

# The Debian packages: `cpack -G DEB` in the build folder (the last step of
# `cmake --workflow --preset package`) writes one .deb per component.
set(tarvix_components Development)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtarvix-dev)
if(TARGET tarvix)
  list(APPEND tarvix_components Tool)
  set(CPACK_DEBIAN_TOOL_PACKAGE_NAME tarvix)
endif()
if(TARGET tarvix_shared)
  list(APPEND tarvix_components Runtime)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libtarvix1)
endif()
if(TARGET tarvix_python)
  list(APPEND tarvix_components Python)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-tarvix)
endif()
if(WIN32)
  # One ZIP holds every component: one licence, beside the manual.
  install(FILES "${PROJECT_SOURCE_DIR}/LICENSE" DESTINATION "${tarvix_doc_root}/tarvix"
    RENAME LICENSE.txt COMPONENT Development)
else()
  foreach(component IN LISTS tarvix_components)
    string(TOUPPER "${component}" upper)
    install(FILES ${tarvix_doc_files}
      DESTINATION "${tarvix_doc_root}/${CPACK_DEBIAN_${upper}_PACKAGE_NAME}"
      COMPONENT ${component})
  endforeach()
endif()

set(CPACK_PACKAGE_NAME tarvix)
set(CPACK_PACKAGE_VENDOR "The tarvix developers")
set(CPACK_PACKAGE_CONTACT "The tarvix developers <tarvix@example.org>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
# Each package's synopsis is the first line of its own description below.
# CPack would put this summary before every one of them, unless it is CPack's
# own default text.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_STRIP_FILES ON)
# Windows: one ZIP of the whole install tree, tarvix-VERSION-win64.zip (or
# win32), the last step of `cmake --workflow --preset package-win64`.
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  else()
    set(CPACK_SYSTEM_NAME win32)
  endif()
else()
  set(CPACK_GENERATOR DEB)
endif()
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build/" "/\\\\.cache/")
set(CPACK_COMPONENTS_ALL ${tarvix_components})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(tarvix_about "tarvix compresses one file into another, or restores a compressed file: a
greedy LZ77 block coder over 8 KiB blocks, fast and exact to the byte on
every host.")
set(CPACK_DEBIAN_TOOL_DESCRIPTION "compress one file into another, or restore it
${tarvix_about}

This package holds the programs: tvx, the command for pipes, tar and
several files, with the options of the everyday compressors (and untvx and
tvxcat, its restoring names); and tarvix SOURCE TARGET, which chooses the
direction from the first four bytes of the source and has no options.")
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "tarvix compression library
${tarvix_about}

This package holds the shared library, with its C interface
(<tarvix/tarvix.h>) and C++20 interface, for programs and other languages'
foreign-function interfaces.")
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "tarvix compression library - development files
${tarvix_about}

This package holds what building against the library needs: the C and
C++20 headers, the static library, the CMake package (find_package(tarvix)),
a pkg-config file, the description of the file format and examples in C,
C++ and Python.")
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "tarvix compression library - Python 3 module
${tarvix_about}

This package holds the Python module tarvix, with the library built into
its extension, as Python's bz2 and lzma modules: compress() and
decompress() for bytes in memory, Compressor and Decompressor objects,
open() and TarvixFile for binary and text file objects in bounded memory,
python3 -m tarvix, and type hints.")

set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)

# Dependencies. The tool and the Python module's extension hold the library
# themselves, so they need only what dpkg-shlibdeps finds, and the module a
# Python 3 from 3.8 on (its extension is built once for all of them, abi3).
# The development files go with the one shared library of their version.
if(TARGET tarvix_shared)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libtarvix1 (= ${PROJECT_VERSION})")
endif()
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3 (>= 3.8)")
# Python writes compiled modules beside the sources when root imports them:
# the maintainer scripts make them on installation and remove them before
# removal, as Debian's own Python packages do.
if(TARGET tarvix_python)
  set(TARVIX_PYTHON_MODULE_DIR "${CMAKE_INSTALL_PREFIX}/${TARVIX_PYTHON_INSTALL_DIR}/tarvix")
  foreach(script IN ITEMS postinst prerm)
    configure_file("${CMAKE_CURRENT_LIST_DIR}/python3-tarvix.${script}.in"
      "${tarvix_generated_dir}/python3-tarvix/${script}" @ONLY)
    list(APPEND CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
      "${tarvix_generated_dir}/python3-tarvix/${script}")
  endforeach()
endif()
find_program(TARVIX_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(TARVIX_DPKG_SHLIBDEPS)
if(TARVIX_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
# The shared library's package: its shlibs file (programs built against it
# depend on libtarvix1 of this version or later), and the ldconfig trigger
# that updates the loader's cache. CPack would call ldconfig from maintainer
# scripts instead, whenever it looks at the shared objects of a package; so
# for this one its own look is off, and the dependencies come from
# dpkg-shlibdeps run at packaging time (cmake/cpack-project.cmake.in).
if(TARGET tarvix_shared)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS OFF)
  file(CONFIGURE OUTPUT "${tarvix_generated_dir}/libtarvix1/shlibs" CONTENT
    "libtarvix ${PROJECT_VERSION_MAJOR} libtarvix1 (>= ${PROJECT_VERSION})\n")
  file(CONFIGURE OUTPUT "${tarvix_generated_dir}/libtarvix1/triggers" CONTENT
    "activate-noawait ldconfig\n")
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    "${tarvix_generated_dir}/libtarvix1/shlibs;${tarvix_generated_dir}/libtarvix1/triggers")
  set(TARVIX_SHARED_LIBRARY_FILE "$<TARGET_FILE:tarvix_shared>")
endif()
configure_file("${CMAKE_CURRENT_LIST_DIR}/cpack-project.cmake.in"
  "${tarvix_generated_dir}/cpack-project.cmake.in" @ONLY)
file(GENERATE OUTPUT "${tarvix_generated_dir}/cpack-project.cmake"
  INPUT "${tarvix_generated_dir}/cpack-project.cmake.in")
set(CPACK_PROJECT_CONFIG_FILE "${tarvix_generated_dir}/cpack-project.cmake")
include(CPack)
