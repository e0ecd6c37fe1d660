# Packs the region list (one "CC,RR,Name" record a line) into the FIPSLIST
# resource the server carries: every record followed by "*", no line breaks,
# and two NUL bytes after the last record. Writes it as a C++ source.
#
#   cmake -DINPUT=fipslist.txt -DOUTPUT=region_table_resource_data.cpp -P pack_region_table.cmake
cmake_minimum_required(VERSION 3.25)

if(NOT INPUT OR NOT OUTPUT)
  message(FATAL_ERROR "pack_region_table.cmake needs -DINPUT=... and -DOUTPUT=...")
endif()

file(READ "${INPUT}" hex HEX)
string(LENGTH "${hex}" hex_length)
if(hex_length EQUAL 0)
  message(FATAL_ERROR "${INPUT} is empty")
endif()

# One "xx," per byte, so every match below is aligned on a byte.
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\1," bytes "${hex}")

# The record separator and the terminator are bytes of the format, so a record
# must not hold them; a CR would end up inside a name.
foreach(forbidden "00" "0d" "2a")
  if(bytes MATCHES "(^|,)${forbidden},")
    message(FATAL_ERROR "${INPUT} holds the byte 0x${forbidden}, which a record cannot carry")
  endif()
endforeach()
if(NOT bytes MATCHES "0a,$")
  message(FATAL_ERROR "${INPUT} must end with a line break")
endif()
if(bytes MATCHES "(^|0a,)0a,")
  message(FATAL_ERROR "${INPUT} holds an empty line")
endif()

string(REPLACE "0a," "2a," bytes "${bytes}")
string(APPEND bytes "00,00,")
string(REGEX REPLACE "([0-9a-f][0-9a-f])," "0x\\1," bytes "${bytes}")
# Sixteen bytes a line (CMake's regular expressions have no counted repeats).
string(REPEAT "0x[0-9a-f][0-9a-f]," 16 line_of_bytes)
string(REGEX REPLACE "(${line_of_bytes})" "\\1\n" bytes "${bytes}")

file(WRITE "${OUTPUT}.tmp" "// Generated at build time from src/resources/fipslist.txt by
// cmake/pack_region_table.cmake. Do not edit.
#include \"resources/region_table_resource.h\"

namespace quillon {
namespace {

const uint8_t kFipsList[] = {
${bytes}
};

}  // namespace

std::span<const uint8_t> RegionTableResource() { return {kFipsList, sizeof kFipsList}; }

}  // namespace quillon
")
file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
