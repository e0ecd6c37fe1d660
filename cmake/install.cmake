# What `cmake --install BUILD [--prefix PREFIX]` puts under PREFIX:
#
#   bin/quillon-server, bin/quillon
#   share/quillon/GEOIPCITY.DAT         found by quillon as ../share/quillon/ from its folder
#   lib/python3/dist-packages/quillon   the Python client (QUILLON_INSTALL_PYTHONDIR)
#   share/man/man1/quillon.1
#   lib/systemd/user/quillon.socket, quillon.service
#
# DESTDIR is honoured as usual; paths written into the files leave it out.

include(GNUInstallDirs)

install(TARGETS quillon-server quillon RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${QUILLON_SAMPLE_CITY_DB} DESTINATION ${CMAKE_INSTALL_DATADIR}/quillon)

# Debian's python3 reads PREFIX/lib/python3/dist-packages for PREFIX /usr; under
# another prefix, put that folder on PYTHONPATH or choose another one here.
set(QUILLON_INSTALL_PYTHONDIR lib/python3/dist-packages CACHE STRING
    "Where cmake --install puts the Python client, relative to the prefix")
install(DIRECTORY ${PROJECT_SOURCE_DIR}/clients/python/quillon
        DESTINATION ${QUILLON_INSTALL_PYTHONDIR}
        PATTERN __pycache__ EXCLUDE
        PATTERN "*.pyc" EXCLUDE)

install(FILES ${PROJECT_SOURCE_DIR}/docs/quillon.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The service names the installed server by its full path. The prefix may change
# at install time (cmake --install --prefix), so the unit is written then.
set(QUILLON_SERVICE_FILE ${CMAKE_BINARY_DIR}/systemd/quillon.service)
if(IS_ABSOLUTE "${CMAKE_INSTALL_BINDIR}")
  set(_quillon_bindir_at_install "${CMAKE_INSTALL_BINDIR}")
else()
  set(_quillon_bindir_at_install "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}")
endif()
install(CODE "
  set(CMAKE_INSTALL_FULL_BINDIR \"${_quillon_bindir_at_install}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/systemd/quillon.service.in\" \"${QUILLON_SERVICE_FILE}\" @ONLY)
")
install(FILES ${PROJECT_SOURCE_DIR}/systemd/quillon.socket ${QUILLON_SERVICE_FILE}
        DESTINATION lib/systemd/user)
