# Installation and the Debian package lobby-server (cpack -G DEB in a
# release build; scripts/package.sh does both). Included at the end of the
# top-level CMakeLists.txt, after every target is defined: the operator
# tools that exist are installed, whichever they are.
include(GNUInstallDirs)

set(LOBBY_VERSION ${PROJECT_VERSION})
# The address that packages and their changelog name (a build may set its
# own with -DLOBBY_MAINTAINER=...).
set(LOBBY_MAINTAINER "Lobby server maintainers <lobby-server@example.org>" CACHE STRING
  "Maintainer of the Debian package")

install(TARGETS lobby_server lobby_client upstream_listen RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The operator's command and the metrics exporter, once they are built.
foreach(optional_tool lobbyctl lobby_exporter)
  if(TARGET ${optional_tool})
    install(TARGETS ${optional_tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# systemd's directory for units that packages ship.
install(FILES packaging/systemd/lobby-server@.service DESTINATION /lib/systemd/system)
if(TARGET lobby_exporter)
  install(FILES packaging/systemd/lobby-exporter.service DESTINATION /lib/systemd/system)
endif()
install(FILES packaging/logrotate/lobby-server DESTINATION /etc/logrotate.d)
set(LOBBY_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/lobby-server)
install(FILES README.md docs/deploy.md packaging/debian/copyright DESTINATION ${LOBBY_DOC_DIR})
install(FILES packaging/dorvik.txt.example DESTINATION ${LOBBY_DOC_DIR}/examples RENAME dorvik.txt)
# The package carries no init.d script: its lobbies run under systemd.
install(FILES packaging/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides
  RENAME lobby-server)

# A manual page for each program, with the version filled in, and the
# changelog: compressed as Debian wants them, at their highest level and
# without a time stamp, so that the same sources give the same package.
set(LOBBY_PROGRAMS lobby_server lobby_client upstream_listen)
foreach(optional_tool lobbyctl lobby_exporter)
  if(TARGET ${optional_tool})
    list(APPEND LOBBY_PROGRAMS ${optional_tool})
  endif()
endforeach()
set(LOBBY_COMPRESSED)
foreach(program ${LOBBY_PROGRAMS})
  configure_file(packaging/man/${program}.1 ${CMAKE_BINARY_DIR}/man/${program}.1 @ONLY)
  list(APPEND LOBBY_COMPRESSED ${CMAKE_BINARY_DIR}/man/${program}.1)
endforeach()
configure_file(packaging/debian/changelog ${CMAKE_BINARY_DIR}/doc/changelog @ONLY)
list(APPEND LOBBY_COMPRESSED ${CMAKE_BINARY_DIR}/doc/changelog)
set(LOBBY_COMPRESSED_OUTPUTS)
foreach(file ${LOBBY_COMPRESSED})
  add_custom_command(OUTPUT ${file}.gz
    COMMAND gzip -9 -n -c ${file} > ${file}.gz
    DEPENDS ${file} VERBATIM)
  list(APPEND LOBBY_COMPRESSED_OUTPUTS ${file}.gz)
endforeach()
add_custom_target(package_docs ALL DEPENDS ${LOBBY_COMPRESSED_OUTPUTS})
# A stripped program keeps no compiler notes either (its .comment section,
# which the statically linked runtime brings too).
install(CODE "
  if(CMAKE_INSTALL_DO_STRIP)
    foreach(program ${LOBBY_PROGRAMS})
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --remove-section=.comment
        \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/\${program}\"
        COMMAND_ERROR_IS_FATAL ANY)
    endforeach()
  endif()")
foreach(program ${LOBBY_PROGRAMS})
  install(FILES ${CMAKE_BINARY_DIR}/man/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
install(FILES ${CMAKE_BINARY_DIR}/doc/changelog.gz DESTINATION ${LOBBY_DOC_DIR})
# The monitoring kit, for the exporter's series: alert rules to load into
# Prometheus and a dashboard to import into Grafana.
if(TARGET lobby_exporter)
  set(LOBBY_SHARE_DIR ${CMAKE_INSTALL_DATAROOTDIR}/lobby-server)
  install(FILES packaging/prometheus/lobby-alerts.yml DESTINATION ${LOBBY_SHARE_DIR}/prometheus)
  install(FILES packaging/grafana/lobby-dashboard.json DESTINATION ${LOBBY_SHARE_DIR}/grafana)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME lobby-server)
set(CPACK_PACKAGE_VERSION ${LOBBY_VERSION})
set(CPACK_PACKAGE_CONTACT ${LOBBY_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Lobby server for a small online game")
# Lines of at most 72 characters.
set(CPACK_PACKAGE_DESCRIPTION
    "Game clients connect over TCP, see the rooms of their group, make and\njoin rooms of up to eight seats, chat and start games. One process\nserves 32 players; a template systemd unit runs one lobby per\ndirectory under /var/lib/lobby-server. lobbyctl controls the lobbies\nand lobby_exporter serves their metrics over HTTP.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# A server program and its tools, for the network.
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# No debugging symbols in the package: the programs are shipped stripped.
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the executables link, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS logrotate)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_SOURCE_DIR}/packaging/debian/postrm ${CMAKE_SOURCE_DIR}/packaging/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
