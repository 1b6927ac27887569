# Installation and the Debian package lobby-server (cpack -G DEB in a
# release build; scripts/package.sh does both). Included at the end of the
# top-level CMakeLists.txt, after every target is defined: the operator
# tools that exist are installed, whichever they are.
include(GNUInstallDirs)

set(LOBBY_VERSION 0.9.4)

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
install(FILES README.md docs/deploy.md DESTINATION ${LOBBY_DOC_DIR})
install(FILES packaging/dorvik.txt.example DESTINATION ${LOBBY_DOC_DIR}/examples RENAME dorvik.txt)
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
set(CPACK_PACKAGE_CONTACT "lobby-server maintainers <root@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Lobby server for a small online game")
set(CPACK_PACKAGE_DESCRIPTION
    "Game clients connect over TCP, see the rooms of their group, make and join rooms\nof up to eight seats, chat and start games. One process serves 32 players; a\ntemplate systemd unit runs one lobby per directory under /var/lib/lobby-server.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the executables link, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS logrotate)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_SOURCE_DIR}/packaging/debian/postinst ${CMAKE_SOURCE_DIR}/packaging/debian/prerm
    ${CMAKE_SOURCE_DIR}/packaging/debian/postrm ${CMAKE_SOURCE_DIR}/packaging/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
