# What an engine needs from an installed copy: the plug-in library, the
# public headers of the plug-in contract, a pkg-config file and a CMake
# package config that both say where the two are, and the zanstream
# program. `cpack -G DEB` packs the same files.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Everything installed finds everything else by relative paths, so the
# prefix can be chosen at install time (cmake --install --prefix P).
file(RELATIVE_PATH ZAN_PC_TO_PREFIX "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig" "${CMAKE_INSTALL_PREFIX}")
file(RELATIVE_PATH ZAN_CMAKE_TO_PREFIX "${CMAKE_INSTALL_FULL_LIBDIR}/cmake/zanffmpeg" "${CMAKE_INSTALL_PREFIX}")

install(TARGETS zanffmpeg LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS zanstream RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/plugins/include/zan/streamer
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zan FILES_MATCHING PATTERN "*.h")

configure_file(${CMAKE_CURRENT_LIST_DIR}/zanffmpeg.pc.in ${CMAKE_BINARY_DIR}/zanffmpeg.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/zanffmpeg.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

configure_file(${CMAKE_CURRENT_LIST_DIR}/zanffmpegConfig.cmake.in ${CMAKE_BINARY_DIR}/zanffmpegConfig.cmake @ONLY)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/zanffmpegConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/zanffmpegConfig.cmake ${CMAKE_BINARY_DIR}/zanffmpegConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zanffmpeg)

set(CPACK_PACKAGE_NAME zanffmpeg)
set(CPACK_PACKAGE_VENDOR "Zan")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "FFmpeg input and transcoder plug-ins for the Zan streaming engine")
set(CPACK_PACKAGE_CONTACT "Zan developers <dev@zan.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# The FFmpeg and Qt run-time packages, as the binaries need them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
