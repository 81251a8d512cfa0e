# What `cmake --install` puts under the prefix, and the Debian package made of it (cpack -G DEB):
#   include/vistrec/*.h                   the public header
#   LIBDIR/libvistrec.so.0.1.0, .so.0     the library (SONAME libvistrec.so.0), .so for linking
#   LIBDIR/libnuvra.so                    noise suppression, loaded from beside libvistrec.so
#   LIBDIR/vistrec/vistrec                the command-line recorder, with the effect icons in
#   LIBDIR/vistrec/mouseeffect/*.ico      "mouseeffect/" beside it, where the library looks
#   bin/vistrec                           a link to it
#   share/man/man1/vistrec.1              its manual page
#   LIBDIR/pkgconfig/vistrec.pc           for pkg-config
#   LIBDIR/cmake/vistrec/                 for find_package(vistrec): the target vistrec::vistrec
# Every path inside the installed files is relative to the prefix, so the tree works wherever
# it is moved.
include(CMakePackageConfigHelpers)

set(VISTREC_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vistrec)
set(VISTREC_CLI_DIR ${CMAKE_INSTALL_LIBDIR}/vistrec)

install(TARGETS vistrec EXPORT vistrecTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_SKIP)
install(TARGETS vistrec
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_ONLY)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/include/vistrec DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
install(TARGETS nuvra LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

# The recorder links the library's core statically; libnuvra, which it loads at run time by
# name, is found through its run path in the library folder above it.
file(RELATIVE_PATH cli_to_libdir /${VISTREC_CLI_DIR} /${CMAKE_INSTALL_LIBDIR})
set_target_properties(vistrec_cli PROPERTIES INSTALL_RPATH "$ORIGIN/${cli_to_libdir}")
install(TARGETS vistrec_cli RUNTIME DESTINATION ${VISTREC_CLI_DIR})
install(DIRECTORY ${CMAKE_BINARY_DIR}/tools/vistrec/mouseeffect DESTINATION ${VISTREC_CLI_DIR}
  FILES_MATCHING PATTERN "*.ico")
file(RELATIVE_PATH bin_to_cli /${CMAKE_INSTALL_BINDIR} /${VISTREC_CLI_DIR}/vistrec)
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/install)
file(CREATE_LINK ${bin_to_cli} ${CMAKE_BINARY_DIR}/install/vistrec SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/install/vistrec DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/tools/vistrec/vistrec.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# pkg-config: the prefix is found from the .pc file's own folder.
file(RELATIVE_PATH pc_to_prefix /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/vistrec.pc.in ${CMAKE_BINARY_DIR}/install/vistrec.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/install/vistrec.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# CMake package: vistrec::vistrec, the shared library with the header folder.
install(EXPORT vistrecTargets NAMESPACE vistrec:: DESTINATION ${VISTREC_CMAKE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/vistrecConfig.cmake.in
  ${CMAKE_BINARY_DIR}/install/vistrecConfig.cmake INSTALL_DESTINATION ${VISTREC_CMAKE_DIR})
# 0.x releases make no promise between minor versions.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/install/vistrecConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/install/vistrecConfig.cmake
  ${CMAKE_BINARY_DIR}/install/vistrecConfigVersion.cmake DESTINATION ${VISTREC_CMAKE_DIR})

# The Debian package: everything above under /usr, dependencies from dpkg-shlibdeps.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vistrec)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "vistrec developers <vistrec@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "screen and sound recording library for X11 and PulseAudio")
set(CPACK_PACKAGE_DESCRIPTION "libvistrec records the X11 screen and PulseAudio sound into MP4 \
files (H.264 and AAC) for the program that loads it. The package holds the library, its header, \
pkg-config and CMake files, the noise-suppression library libnuvra and the command-line \
recorder vistrec.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The recorder makes a "log" folder beside itself; removing the package takes it along.
configure_file(${CMAKE_SOURCE_DIR}/cmake/debian-prerm.in ${CMAKE_BINARY_DIR}/install/prerm @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/install/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
