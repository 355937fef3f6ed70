# cmake --install: the programs in the program folder, libcomrt.so and the plug-in library in a library
# folder of their own, the manual pages, and the files the buses and systemd read. /usr/local by default;
# the Debian package installs to /usr.
include(GNUInstallDirs)

# libcomrt.so is private to these programs and plug-ins: it has no stable interface for other programs, so
# it stays out of the linker's search path, and everything installed finds it by its run path. The run path
# is absolute: the loader ignores $ORIGIN in a program given a capability (setcap cap_net_raw+ep, for ping).
set(CORVANE_INSTALL_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/corvane-harkwell)
set(CORVANE_INSTALL_FULL_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
set(CORVANE_INSTALL_FULL_PRIVATE_LIBDIR ${CMAKE_INSTALL_PREFIX}/${CORVANE_INSTALL_PRIVATE_LIBDIR})
set_target_properties(HarkwellServer harkwellctl hkreg hkregsvr comrt comrtui HarkwellServerUI HarkwellPack1
  HarkwellPack1UI PROPERTIES
  INSTALL_RPATH ${CORVANE_INSTALL_FULL_PRIVATE_LIBDIR})

install(TARGETS HarkwellServer harkwellctl hkreg hkregsvr RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The server's windows (HarkwellServerUI.so, with libcomrtui.so and the toolkit) beside them: the program
# loads the module by name from its run path only for a run that shows a window.
# The plug-in's pages (HarkwellPack1UI.so) lie beside the plug-in, whose registration names them there.
install(TARGETS comrt comrtui HarkwellServerUI HarkwellPack1 HarkwellPack1UI
  LIBRARY DESTINATION ${CORVANE_INSTALL_PRIVATE_LIBDIR})
# The reference of the pattern dialect, which the pattern labels of the plug-in's pages link to.
install(FILES ${PROJECT_SOURCE_DIR}/docs/regular-expressions.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/corvane-harkwell)

# Manual pages, compressed as man and Debian expect them.
set(man_pages HarkwellServer.1 harkwellctl.1 hkreg.1 hkregsvr.1)
set(compressed_pages)
foreach(page ${man_pages})
  set(source ${PROJECT_SOURCE_DIR}/docs/man/${page})
  set(target ${CMAKE_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${target}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9n -c ${source} > ${target}
    DEPENDS ${source} VERBATIM)
  list(APPEND compressed_pages ${target})
endforeach()
add_custom_target(man_pages ALL DEPENDS ${compressed_pages})
install(FILES ${compressed_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The session bus starts a user's server when a client calls it; the system bus lets root own the name and
# the group corvane-harkwell call it; systemd runs the service. Each names the installed program.
configure_file(${PROJECT_SOURCE_DIR}/packaging/Corvane.HarkwellServer.service.in
  ${CMAKE_BINARY_DIR}/packaging/Corvane.HarkwellServer.service @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/packaging/corvane-harkwell-server.service.in
  ${CMAKE_BINARY_DIR}/packaging/corvane-harkwell-server.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/Corvane.HarkwellServer.service
  DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/services)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/Corvane.HarkwellServer.conf
  DESTINATION ${CMAKE_INSTALL_DATADIR}/dbus-1/system.d)
# Debian 12 keeps the units of packages in /lib/systemd/system; elsewhere the prefix's own folder, which
# systemd reads for /usr/local as well.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(CORVANE_INSTALL_UNITDIR /lib/systemd/system)
else()
  set(CORVANE_INSTALL_UNITDIR ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endif()
install(FILES ${CMAKE_BINARY_DIR}/packaging/corvane-harkwell-server.service DESTINATION ${CORVANE_INSTALL_UNITDIR})
