# What `cmake --install` puts on a Linux machine (and the Debian package holds): torvanctl and
# torvan-emu, their man pages and torvanctl's bash completion.
include(GNUInstallDirs)

install(TARGETS torvanctl torvan-emu RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/completions/torvanctl
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# The man pages are written from the built programs' own --help and --version, so they
# describe exactly the programs installed beside them.
find_program(HELP2MAN help2man)
if(NOT HELP2MAN)
    message(WARNING "help2man not found: no man pages (scripts/setup.sh installs it)")
    return()
endif()
set(TORVAN_MAN_torvanctl "talk to Torvan flow boards from a console or a script")
set(TORVAN_MAN_torvan-emu "a Torvan flow board emulated on a pseudo-terminal")
set(TORVAN_MAN_PAGES)
foreach(program torvanctl torvan-emu)
    set(page ${CMAKE_BINARY_DIR}/man/${program}.1.gz)
    add_custom_command(
        OUTPUT ${page}
        COMMAND bash ${CMAKE_SOURCE_DIR}/cmake/man-page.sh $<TARGET_FILE:${program}>
                "${TORVAN_MAN_${program}}" ${page}
        DEPENDS ${program} ${CMAKE_SOURCE_DIR}/cmake/man-page.sh
                ${CMAKE_SOURCE_DIR}/scripts/lib-help.sh
        COMMENT "Writing the man page of ${program}")
    list(APPEND TORVAN_MAN_PAGES ${page})
endforeach()
add_custom_target(torvan_man ALL DEPENDS ${TORVAN_MAN_PAGES})
install(FILES ${TORVAN_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
