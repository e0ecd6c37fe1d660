# Fails when src/com/quillon.idl, which the Windows build compiles into the
# server's type library, is not what the product's type library prints now.
#   cmake -DQUILLON=path/to/quillon -DIDL=src/com/quillon.idl -P check_idl.cmake
execute_process(COMMAND ${QUILLON} typelib --idl OUTPUT_VARIABLE printed RESULT_VARIABLE status TIMEOUT 60)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "quillon typelib --idl failed: ${status}")
endif()
file(READ ${IDL} kept)
if(NOT printed STREQUAL kept)
  message(FATAL_ERROR "${IDL} is out of date; write it anew with: quillon typelib --idl > src/com/quillon.idl")
endif()
