# make deb: the Debian package of what cmake --install puts in place (CPack's DEB generator, in a tree
# configured for /usr). Dependencies come from the libraries the binaries link (dpkg-shlibdeps); the
# maintainer scripts register the program and the plug-in library, unregister them on removal, and leave
# the store in place except on purge.
set(CORVANE_PACKAGE_NAME corvane-harkwell)
set(CORVANE_INSTALL_FULL_PLUGIN ${CORVANE_INSTALL_FULL_PRIVATE_LIBDIR}/HarkwellPack1.so)

# The package's own documents: copyright and change log, where Debian's tools look for them.
set(CORVANE_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CORVANE_PACKAGE_NAME})
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/debian/changelog > ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog VERBATIM)
add_custom_target(package_documents ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz
  DESTINATION ${CORVANE_INSTALL_DOCDIR})

foreach(script postinst prerm postrm)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/${script}.in ${CMAKE_BINARY_DIR}/packaging/debian/${script}
    @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${CORVANE_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Corvane Harkwell developers <harkwell@corvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "notification server for one computer")
set(CPACK_PACKAGE_DESCRIPTION "\
Corvane Harkwell runs scenarios that pair an activity watching something (a
host answering ping, processes starting and ending, files changing in a
directory, system performance crossing thresholds) with e-mail notifications.
It runs per user or as a system service, other processes drive it over D-Bus
(harkwellctl), and plug-in libraries add activities and notifications.")
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ./${CORVANE_INSTALL_FULL_PRIVATE_LIBDIR})
# The private bus of a run without a session bus, and the bus tools the documentation shows; addgroup
# makes the group the system bus's policy names.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "dbus, adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "systemd")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/debian/postinst
  ${CMAKE_BINARY_DIR}/packaging/debian/prerm ${CMAKE_BINARY_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
