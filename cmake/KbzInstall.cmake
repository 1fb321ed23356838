# What `cmake --install` puts under a prefix, in two components:
#   runtime  the console and the example programs
#   dev      the static library, its public headers, the CMake package and the pkg-config file
# and how cpack turns them into Debian packages (kbzwebsockets and kbzwebsockets-dev).
#
# Public headers are every <layer>/*.h except the *_Internal.h ones, which only the
# library's own sources, tests and benchmarks include.

include(CMakePackageConfigHelpers)

set(KBZ_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/kbzws)
set(KBZ_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/kbzws)

if(KBZ_INSTALLED_PROGRAMS)
    install(TARGETS ${KBZ_INSTALLED_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
            COMPONENT runtime)
endif()

install(TARGETS kbzws EXPORT kbzwsTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(FILES ${PROJECT_SOURCE_DIR}/kbzWebSocket.h DESTINATION ${KBZ_INSTALL_INCLUDEDIR}
        COMPONENT dev)
install(FILES ${KBZ_GENERATED_INCLUDE_DIR}/base/kbzWebSocket_Version.h
        DESTINATION ${KBZ_INSTALL_INCLUDEDIR}/base COMPONENT dev)
foreach(layer IN LISTS KBZ_LAYERS)
    file(GLOB kbz_layer_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${layer}/*.h)
    list(FILTER kbz_layer_headers EXCLUDE REGEX "_Internal\\.h$")
    if(kbz_layer_headers)
        install(FILES ${kbz_layer_headers} DESTINATION ${KBZ_INSTALL_INCLUDEDIR}/${layer}
                COMPONENT dev)
    endif()
endforeach()

# find_package(kbzws CONFIG) gives kbzws::kbzws and finds its dependencies for the user.
install(EXPORT kbzwsTargets NAMESPACE kbzws:: DESTINATION ${KBZ_INSTALL_CMAKEDIR} COMPONENT dev)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kbzwsConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/package/kbzwsConfig.cmake
                              INSTALL_DESTINATION ${KBZ_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/package/kbzwsConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/package/kbzwsConfig.cmake
              ${PROJECT_BINARY_DIR}/package/kbzwsConfigVersion.cmake
        DESTINATION ${KBZ_INSTALL_CMAKEDIR} COMPONENT dev)

# pkg-config: the prefix is found from the file's own place, so the tree can be moved.
file(RELATIVE_PATH KBZ_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" KBZ_PC_TO_PREFIX "${KBZ_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/kbzws.pc.in ${PROJECT_BINARY_DIR}/package/kbzws.pc
               @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/package/kbzws.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# cpack -G DEB (in the build folder): one package per component.
set(CPACK_PACKAGE_NAME kbzwebsockets)
set(CPACK_PACKAGE_VENDOR "kbzWebSockets developers")
set(CPACK_PACKAGE_CONTACT "kbzWebSockets developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME kbzwebsockets)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION net)
string(CONCAT CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "WebSocket console client and example programs\n"
    "kbzWebSocketClient reads EXIT, HELP or JSON commands on standard input and prints every\n"
    "event of its connection as one JSON line; kbzEchoServer and kbzEchoClient are the\n"
    "example echo server and client.")
# The programs' shared-library dependencies (libc, libstdc++, libssl, zlib) come from dpkg-shlibdeps.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME kbzwebsockets-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
string(CONCAT CPACK_DEBIAN_DEV_DESCRIPTION
    "WebSocket client and server library for C++20 (static library and headers)\n"
    "The library, its public headers, the CMake package (find_package(kbzws CONFIG),\n"
    "target kbzws::kbzws) and the pkg-config file kbzws.")
# A static library: its users link OpenSSL and zlib themselves.
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libssl-dev (>= 3), zlib1g-dev")
include(CPack)
