# Running xolhost as a service: the systemd template unit xolhost@.service and
# the example configuration with every key (component gateway, the package
# xolest-gateway). A tree for /usr puts the example under /etc itself.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    set(XOL_SYSCONFDIR /etc)
    set(XOL_SAMPLE_DESTINATION /etc/xolest)
else()
    set(XOL_SYSCONFDIR ${CMAKE_INSTALL_FULL_SYSCONFDIR})
    set(XOL_SAMPLE_DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/xolest)
endif()
set(XOL_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
set(XOL_SERVICE_UNIT ${CMAKE_CURRENT_BINARY_DIR}/systemd/xolhost@.service)
configure_file(dist/systemd/xolhost@.service.in ${XOL_SERVICE_UNIT} @ONLY)
install(FILES ${XOL_SERVICE_UNIT} DESTINATION lib/systemd/system COMPONENT gateway)
install(FILES dist/systemd/example.toml.sample DESTINATION ${XOL_SAMPLE_DESTINATION}
        COMPONENT gateway)
