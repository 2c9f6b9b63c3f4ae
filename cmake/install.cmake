# Installs the module, its logging stand-in, the public headers, pkg-config
# files, a CMake package configuration and the example host; with the tools,
# their man pages and bash completion (cmake/tools-docs.cmake).
#
# Components, as cmake/cpack.cmake packs them:
#   runtime  the module and libkeldor (versioned files)              libxolest1
#   dev      headers, .so links, .pc files, CMake files, example     libxolest-dev
#   tools    man pages and completion; the programs themselves and
#            their scenario come from host/ and sim/ unnamed          xolest-tools
#   gateway  the systemd unit and the example configuration          xolest-gateway
include(CMakePackageConfigHelpers)

set(XOL_CMAKE_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/xolest)

install(TARGETS xolest
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
# The logging library is also linked by hosts that take the driver's messages
# (KeldorSetSink): exported as xolest::keldor.
install(TARGETS keldor EXPORT xolestTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
install(EXPORT xolestTargets NAMESPACE xolest:: DESTINATION ${XOL_CMAKE_INSTALL_DIR}
        COMPONENT dev)
install(FILES include/xolest/xolest.h include/xolest/keldor.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/xolest COMPONENT dev)

# The module's runtime file name, as a host's loader should open it, and the
# name a linker takes for the logging library.
if(WIN32)
    set(XOL_MODULE_FILE xolest.dll)
    set(XOL_KELDOR_LINK_NAME KELDOR)
else()
    set(XOL_MODULE_FILE libxolest.so.${PROJECT_VERSION_MAJOR})
    set(XOL_KELDOR_LINK_NAME keldor)
endif()
get_target_property(XOL_KELDOR_VERSION keldor VERSION)
if(NOT XOL_KELDOR_VERSION)
    set(XOL_KELDOR_VERSION ${PROJECT_VERSION})
endif()
# The .pc files' prefix. Installed into /usr (the Debian packages), the
# absolute path, so pkg-config drops the system folders from --cflags and
# --libs. Anywhere else (a tarball unpacked where one likes), the way from
# the pkg-config folder back to the prefix, however deep the library folder
# is (lib, lib64, lib/x86_64-linux-gnu).
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(XOL_PC_PREFIX /usr)
else()
    file(RELATIVE_PATH XOL_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig
         ${CMAKE_INSTALL_PREFIX})
    string(REGEX REPLACE "/$" "" XOL_PC_TO_PREFIX "${XOL_PC_TO_PREFIX}")
    set(XOL_PC_PREFIX "\${pcfiledir}/${XOL_PC_TO_PREFIX}")
endif()
configure_file(cmake/xolest.pc.in ${CMAKE_CURRENT_BINARY_DIR}/xolest.pc @ONLY)
configure_file(cmake/keldor.pc.in ${CMAKE_CURRENT_BINARY_DIR}/keldor.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/xolest.pc ${CMAKE_CURRENT_BINARY_DIR}/keldor.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

configure_package_config_file(cmake/xolestConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/xolestConfig.cmake
    INSTALL_DESTINATION ${XOL_CMAKE_INSTALL_DIR}
    PATH_VARS CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/xolestConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/xolestConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/xolestConfigVersion.cmake
        DESTINATION ${XOL_CMAKE_INSTALL_DIR} COMPONENT dev)

# The integrator's example host, as source to copy from and build.
install(FILES examples/host/example_host.c examples/host/CMakeLists.txt
        DESTINATION ${CMAKE_INSTALL_DATADIR}/xolest/examples/host COMPONENT dev)

if(TARGET xolhost AND TARGET xolpanel)
    include(cmake/tools-docs.cmake)
    include(cmake/service.cmake)
endif()
