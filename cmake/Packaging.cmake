# Install rules, `uninstall`, and the Debian package (cpack -G DEB).
#
# Layout under CMAKE_INSTALL_PREFIX: programs in bin/, man pages in share/man/man1, the
# READMEs and docs/ in share/doc/zol_board_software, bash completion in
# share/bash-completion/completions, the systemd units in lib/systemd/system and their
# settings file as share/zol/zol.env (copied to /etc/default/zol by the administrator).
include(GNUInstallDirs)

set(ZOL_PROGRAMS dim_dns ZOL_server echo_server rwreg chainmux kesh_ctrl dimctl fpgaload stapl
    boardsim zol_web)
foreach(program ${ZOL_PROGRAMS})
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

file(GLOB ZOL_MAN_PAGES ${PROJECT_SOURCE_DIR}/man/*.1)
install(FILES ${ZOL_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

file(GLOB ZOL_DOCS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${ZOL_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Scripts a station user copies and adapts.
install(PROGRAMS ${PROJECT_SOURCE_DIR}/examples/watch_and_load.py
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

install(FILES ${PROJECT_SOURCE_DIR}/completions/dimctl ${PROJECT_SOURCE_DIR}/completions/fpgaload
              ${PROJECT_SOURCE_DIR}/completions/stapl ${PROJECT_SOURCE_DIR}/completions/boardsim
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# The units name the programs where this prefix puts them; a package is built for its prefix
# (cmake -DCMAKE_INSTALL_PREFIX=/usr for a Debian package).
set(ZOL_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
set(ZOL_ENV_FILE /etc/default/zol)
foreach(unit zol-dns zol-server)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/systemd/${unit}.service.in
                 ${PROJECT_BINARY_DIR}/packaging/${unit}.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/${unit}.service
          DESTINATION lib/systemd/system)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/zol.env
        DESTINATION ${CMAKE_INSTALL_DATADIR}/zol)

# Removes what the last install wrote, as listed in install_manifest.txt.
add_custom_target(uninstall
  COMMAND ${CMAKE_COMMAND} -P ${PROJECT_SOURCE_DIR}/cmake/Uninstall.cmake
          ${PROJECT_BINARY_DIR}/install_manifest.txt
  COMMENT "Removing the installed files")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zol-board-software)
set(CPACK_PACKAGE_VENDOR "ZOL board software")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Control software of the ZOL FPGA board: register server, name server, station tools")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "ZOL board software maintainers")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libjs-dygraphs")
include(CPack)

if(ZOL_TESTS)
  # Installs into a prefix of its own and runs the programs from there; checks the man pages
  # with groff and the completions in bash.
  add_test(NAME install.prefix_and_completions
    COMMAND bash ${PROJECT_SOURCE_DIR}/packaging/tests/install_test.sh ${PROJECT_BINARY_DIR}
            ${PROJECT_SOURCE_DIR})
  set_tests_properties(install.prefix_and_completions PROPERTIES TIMEOUT 120)
endif()
