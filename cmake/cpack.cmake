# Debian packages, from a tree configured for /usr and the multiarch library
# folder (scripts/check-packages.sh builds and tests them):
#   cmake -S . -B build-deb -G Ninja -DXOL_BUILD_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr \
#         -DCMAKE_INSTALL_LIBDIR=lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
#   ninja -C build-deb && (cd build-deb && cpack -G DEB)
#
#   libxolest1     the module and the logging library (component runtime)
#   libxolest-dev  headers, .so links, pkg-config and CMake files, the
#                  example host (component dev)
#   xolest-tools   xolhost, xolpanel, the demo scenario, man pages, bash
#                  completion (component tools and what host/ and sim/
#                  install without a component)
#   xolest-gateway xolhost as a service: the systemd unit xolhost@.service,
#                  the example configuration, the xolest system user made
#                  by its maintainer scripts (component gateway)

# The default is a placeholder in the reserved .invalid domain: a distributor
# names itself here.
set(XOL_PACKAGE_MAINTAINER "XOLEST developers <xolest@xolest.invalid>"
    CACHE STRING "Maintainer field of the Debian packages")
# Trees configured before kept the old default, which lintian refuses.
if(XOL_PACKAGE_MAINTAINER STREQUAL "XOLEST developers <xolest@localhost>")
    set(XOL_PACKAGE_MAINTAINER "XOLEST developers <xolest@xolest.invalid>"
        CACHE STRING "Maintainer field of the Debian packages" FORCE)
endif()
set(XOL_PACKAGE_RELEASE 1 CACHE STRING "Debian revision of the packages")

set(CPACK_PACKAGE_NAME xolest)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${XOL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${XOL_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file for libxolest1, so that programs linking libkeldor depend on it.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(XOL_DEB_VERSION "${PROJECT_VERSION}-${XOL_PACKAGE_RELEASE}")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libxolest${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The library cache is brought up to date by dpkg's ldconfig trigger.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/dist/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "Driver module for EST CM1N fire alarm panels (CIS protocol)
The XOLEST driver module connects a fire alarm supervision host to an EST
panel of the CM1N control model over a serial line; the host loads it at run
time and drives it through one exported function, XolMain. This package also
holds libkeldor, the stand-in for the host's logging library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libxolest-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME} (= ${XOL_DEB_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION
    "Development files of the XOLEST fire alarm panel driver
The host interface header, the logging library's header and link, pkg-config
files (xolest, keldor), a CMake package (xolest::headers, xolest::keldor) and
an example host program in C under /usr/share/xolest/examples.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME xolest-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
# The programs load the module at run time: the library scan cannot see it.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME} (= ${XOL_DEB_VERSION})")
# The completion file is of use only where bash-completion loads it.
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS bash-completion)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "Host program and panel simulator for the XOLEST driver
xolhost drives the driver module as a supervision host does: describe, check
addresses, scan, read, write and monitor a panel. xolpanel simulates a CM1N
panel on a pseudo-terminal or a serial device, and misbehaves on request.")

set(CPACK_DEBIAN_GATEWAY_PACKAGE_NAME xolest-gateway)
set(CPACK_DEBIAN_GATEWAY_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_GATEWAY_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_GATEWAY_PACKAGE_DEPENDS
    "${CPACK_DEBIAN_TOOLS_PACKAGE_NAME} (= ${XOL_DEB_VERSION}), adduser")
# The maintainer scripts make the xolest user and tell systemd of the unit;
# a purge removes the journals after saying so.
set(XOL_DEB_GATEWAY ${PROJECT_SOURCE_DIR}/dist/debian/gateway)
set(CPACK_DEBIAN_GATEWAY_PACKAGE_CONTROL_EXTRA
    ${XOL_DEB_GATEWAY}/postinst ${XOL_DEB_GATEWAY}/prerm ${XOL_DEB_GATEWAY}/postrm
    ${XOL_DEB_GATEWAY}/conffiles)
set(CPACK_DEBIAN_GATEWAY_DESCRIPTION
    "Fire alarm panel supervision as a systemd service
Runs xolhost serve for each panel line as an instance of the template unit
xolhost@.service (xolhost@north reads /etc/xolest/north.toml), with
readiness and a watchdog, as the hardened system user xolest. Holds the unit
and an example configuration with every key; the journals are kept in
/var/lib/xolest when the package is removed and go when it is purged.")

# Each package's doc folder holds the copyright and the Debian changelog; a
# tree installed elsewhere than /usr (a tarball) gets neither.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    string(TIMESTAMP XOL_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
    set(XOL_DEB_DOCS ${CMAKE_CURRENT_BINARY_DIR}/debian)
    configure_file(dist/debian/changelog.in ${XOL_DEB_DOCS}/changelog.Debian @ONLY)
    add_custom_command(OUTPUT ${XOL_DEB_DOCS}/changelog.Debian.gz
        COMMAND gzip -9nkf changelog.Debian
        WORKING_DIRECTORY ${XOL_DEB_DOCS}
        DEPENDS ${XOL_DEB_DOCS}/changelog.Debian
        VERBATIM)
    add_custom_target(xol_debian_changelog ALL DEPENDS ${XOL_DEB_DOCS}/changelog.Debian.gz)
    set(XOL_DEB_DOC_PACKAGES runtime ${CPACK_DEBIAN_RUNTIME_PACKAGE_NAME}
        dev ${CPACK_DEBIAN_DEV_PACKAGE_NAME})
    if(TARGET xolhost AND TARGET xolpanel)
        list(APPEND XOL_DEB_DOC_PACKAGES tools ${CPACK_DEBIAN_TOOLS_PACKAGE_NAME}
             gateway ${CPACK_DEBIAN_GATEWAY_PACKAGE_NAME})
    endif()
    while(XOL_DEB_DOC_PACKAGES)
        list(POP_FRONT XOL_DEB_DOC_PACKAGES component package)
        install(FILES dist/debian/copyright ${XOL_DEB_DOCS}/changelog.Debian.gz
                DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
    endwhile()
endif()

set(CPACK_COMPONENTS_ALL runtime dev)
if(TARGET xolhost AND TARGET xolpanel)
    list(APPEND CPACK_COMPONENTS_ALL tools Unspecified gateway)
endif()

# cpack refuses to make Debian packages from a tree whose library folder is
# not the multiarch one: the pkg-config and CMake files and xolhost's path to
# the module are fixed when the tree is configured.
set(XOL_DEB_PROBLEM "")
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT CMAKE_INSTALL_LIBDIR STREQUAL "lib/${CMAKE_LIBRARY_ARCHITECTURE}")
    string(CONCAT XOL_DEB_PROBLEM
        "this tree installs libraries into ${CMAKE_INSTALL_LIBDIR}, not the multiarch folder: "
        "configure it with -DCMAKE_INSTALL_PREFIX=/usr "
        "-DCMAKE_INSTALL_LIBDIR=lib/${CMAKE_LIBRARY_ARCHITECTURE}")
endif()
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_BINARY_DIR}/xolest-cpack-options.cmake)
file(CONFIGURE OUTPUT ${CPACK_PROJECT_CONFIG_FILE} CONTENT [[
if(CPACK_GENERATOR STREQUAL "DEB")
    if(NOT "@XOL_DEB_PROBLEM@" STREQUAL "")
        message(FATAL_ERROR "xolest: @XOL_DEB_PROBLEM@")
    endif()
    # Each package's description starts with its own summary line; CPack
    # puts the project's summary before it unless that is left at its default.
    set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CPACK_DEFAULT_PACKAGE_DESCRIPTION_SUMMARY}")
endif()
]] @ONLY)

include(CPack)

cpack_add_component(runtime)
cpack_add_component(dev DEPENDS runtime)
if(TARGET xolhost AND TARGET xolpanel)
    cpack_add_component_group(tools)
    cpack_add_component(tools GROUP tools)
    cpack_add_component(Unspecified GROUP tools)
    cpack_add_component(gateway)
endif()
