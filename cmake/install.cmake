# Installs the module, its logging stand-in, the public header, a pkg-config
# file and a CMake package configuration.
include(CMakePackageConfigHelpers)

install(TARGETS xolest keldor
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/xolest/xolest.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/xolest)
install(FILES host/keldor/keldor.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/xolest)

# The module's runtime file name, as a host's loader should open it.
if(WIN32)
    set(XOL_MODULE_FILE xolest.dll)
else()
    set(XOL_MODULE_FILE libxolest.so.${PROJECT_VERSION_MAJOR})
endif()
# From the pkg-config folder back to the prefix, however deep the library
# folder is (lib, lib64, lib/x86_64-linux-gnu).
file(RELATIVE_PATH XOL_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" XOL_PC_TO_PREFIX "${XOL_PC_TO_PREFIX}")
configure_file(cmake/xolest.pc.in ${CMAKE_CURRENT_BINARY_DIR}/xolest.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/xolest.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

configure_package_config_file(cmake/xolestConfig.cmake.in
    ${CMAKE_CURRENT_BINARY_DIR}/xolestConfig.cmake
    INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/xolest
    PATH_VARS CMAKE_INSTALL_INCLUDEDIR)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/xolestConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/xolestConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/xolestConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/xolest)
