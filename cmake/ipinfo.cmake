# The sample city database that the examples and the command line find beside
# the programs as ../share/quillon/GEOIPCITY.DAT.

# The sample database is written at build time by a program of the build; the
# Windows build has it from the everyday build.
if(WIN32)
  return()
endif()
add_executable(quillon-make-sample-geoip ${CMAKE_SOURCE_DIR}/src/ipinfo/tools/make_sample_geoip.cxx)
target_link_libraries(quillon-make-sample-geoip PRIVATE quillon_ipinfo quillon_platform)
set_target_properties(quillon-make-sample-geoip PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)

set(QUILLON_SAMPLE_CITY_DB ${CMAKE_BINARY_DIR}/share/quillon/GEOIPCITY.DAT)
add_custom_command(
  OUTPUT ${QUILLON_SAMPLE_CITY_DB}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/share/quillon
  COMMAND quillon-make-sample-geoip ${QUILLON_SAMPLE_CITY_DB}
  DEPENDS quillon-make-sample-geoip
  COMMENT "Writing the sample city database"
  VERBATIM)
add_custom_target(quillon-sample-city-db ALL DEPENDS ${QUILLON_SAMPLE_CITY_DB})
