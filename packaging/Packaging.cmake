# Installation layout and the Debian package. Read at the end of the top-level directory (see
# hosts/linux/control/CMakeLists.txt), once the program target exists.
if(NOT TARGET quillnest-filter)
  return()
endif()
include(GNUInstallDirs)
set(_packaging ${PROJECT_SOURCE_DIR}/packaging)

install(TARGETS quillnest-filter RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The units name the program by its installed path, which is known only when installing: the
# build's prefix for `cmake --install`, /usr for the package.
install(CODE "
  set(QUILLNEST_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  foreach(unit quillnest-filter.service quillnest-filter-update.service)
    configure_file(\"${_packaging}/\${unit}.in\"
      \"${PROJECT_BINARY_DIR}/packaging/\${unit}\" @ONLY)
    file(INSTALL \"${PROJECT_BINARY_DIR}/packaging/\${unit}\"
      DESTINATION \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
  endforeach()
")
install(FILES ${_packaging}/quillnest-filter-update.timer DESTINATION lib/systemd/system)

# The default rules block nothing; only root may change them (the daemon refuses otherwise).
install(FILES ${_packaging}/filter-rules.json DESTINATION /etc/quillnest
  PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
# fail-closed.conf is a drop-in for /etc/systemd/system/quillnest-filter.service.d/.
install(FILES ${_packaging}/filter-rules.example.json ${_packaging}/sources.list.example
  ${_packaging}/fail-closed.conf
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${_packaging}/quillnest-filter.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

set(CPACK_PACKAGE_NAME quillnest-filter)
set(CPACK_PACKAGE_VENDOR quillnest)
set(CPACK_PACKAGE_CONTACT "quillnest developers <dev@quillnest.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "network content filter blocking web connections by host name")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# A Debian package lives under /usr whatever prefix the build was configured with, and ships the
# program without its debug information.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# Libraries found by dpkg-shlibdeps, plus the programs the daemon runs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "iptables, systemd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${_packaging}/conffiles)
include(CPack)
