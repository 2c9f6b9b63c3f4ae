# Man pages of xolhost and xolpanel, made at build time from the programs'
# own --help (help2man) and the text in dist/man/*.h2m, and their bash
# completion. Component "tools".

find_program(XOL_HELP2MAN help2man)
if(XOL_HELP2MAN)
    set(XOL_MAN_PAGES)
    foreach(program xolhost xolpanel)
        set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${program}.1.gz)
        add_custom_command(
            OUTPUT ${page}
            COMMAND bash ${PROJECT_SOURCE_DIR}/dist/man/make-man.sh $<TARGET_FILE:${program}>
                    ${PROJECT_SOURCE_DIR}/dist/man/${program}.h2m ${PROJECT_VERSION} ${page}
                    ${CMAKE_INSTALL_FULL_DATADIR}
            DEPENDS ${program} ${PROJECT_SOURCE_DIR}/dist/man/${program}.h2m
                    ${PROJECT_SOURCE_DIR}/dist/man/make-man.sh
                    ${PROJECT_SOURCE_DIR}/dist/man/cli11-types.sed
            COMMENT "Man page of ${program} (help2man)"
            VERBATIM)
        list(APPEND XOL_MAN_PAGES ${page})
    endforeach()
    add_custom_target(xol_man_pages ALL DEPENDS ${XOL_MAN_PAGES})
    install(FILES ${XOL_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
else()
    message(WARNING "help2man not found: xolhost and xolpanel get no man pages "
                    "(scripts/setup.sh installs it)")
endif()

# bash-completion loads a command's completion from a file named after it.
foreach(program xolhost xolpanel)
    install(FILES dist/completion/xolest.bash
            DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
            RENAME ${program} COMPONENT tools)
endforeach()
