# Installation of the suite library for the suite's other programs:
# libkx.a, the public headers in include/kestrix/, a pkg-config file (kx.pc)
# and a CMake package (find_package(kestrix) -> kestrix::kx). Both find
# the prefix from where they lie, so `cmake --install --prefix P` may choose
# any P.
include(CMakePackageConfigHelpers)
set(kx_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/kestrix)

install(TARGETS kx EXPORT kestrixTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kestrix
        FILES_MATCHING PATTERN "*.h")

install(EXPORT kestrixTargets NAMESPACE kestrix:: DESTINATION ${kx_package_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kestrixConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/kestrixConfig.cmake INSTALL_DESTINATION ${kx_package_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kestrixConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kestrixConfig.cmake ${PROJECT_BINARY_DIR}/kestrixConfigVersion.cmake
        DESTINATION ${kx_package_dir})

# kx.pc names the prefix relative to its own directory.
string(REGEX REPLACE "[^/]+" ".." KX_PC_UP "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
configure_file(${PROJECT_SOURCE_DIR}/cmake/kx.pc.in ${PROJECT_BINARY_DIR}/kx.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kx.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
