# IP information: the region-name table the server carries, packed from its
# data file at build time, and the sample city database that the examples and
# the command line find beside the programs as ../share/quillon/GEOIPCITY.DAT.

set(QUILLON_REGION_LIST ${CMAKE_SOURCE_DIR}/src/resources/fipslist.txt)
set(QUILLON_REGION_TABLE_SOURCE ${CMAKE_BINARY_DIR}/generated/region_table_resource_data.cpp)
add_custom_command(
  OUTPUT ${QUILLON_REGION_TABLE_SOURCE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/generated
  COMMAND ${CMAKE_COMMAND} -DINPUT=${QUILLON_REGION_LIST} -DOUTPUT=${QUILLON_REGION_TABLE_SOURCE}
          -P ${CMAKE_SOURCE_DIR}/cmake/pack_region_table.cmake
  DEPENDS ${QUILLON_REGION_LIST} ${CMAKE_SOURCE_DIR}/cmake/pack_region_table.cmake
  COMMENT "Packing the region-name table"
  VERBATIM)
target_sources(quillon_ipinfo PRIVATE ${QUILLON_REGION_TABLE_SOURCE})

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
