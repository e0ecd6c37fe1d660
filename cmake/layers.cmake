# Layers as libraries that link only downward. Each library sees headers only
# through a folder of its own in the build tree ("views"), which links to its
# own source folders; the views of the libraries it links come with them. An
# include of a layer above is then "No such file" at compile time.

set(QUILLON_VIEWS ${CMAKE_BINARY_DIR}/layers)

# quillon_view(NAME ENTRY...): a view holding each ENTRY ("folder" or
# "folder/file.h" under src/) at the same relative path.
function(quillon_view name)
  if(NOT QUILLON_VIEWS)
    # Without it a view would land at the root of the file system and be shared
    # by every checkout that builds there.
    message(FATAL_ERROR "quillon_view(${name}): cmake/layers.cmake was not included in this scope")
  endif()
  set(view ${QUILLON_VIEWS}/${name})
  file(REMOVE_RECURSE ${view})
  foreach(entry ${ARGN})
    get_filename_component(parent ${view}/${entry} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    file(CREATE_LINK ${CMAKE_SOURCE_DIR}/src/${entry} ${view}/${entry} SYMBOLIC)
  endforeach()
endfunction()

# quillon_layer(TARGET FOLDERS f... [LINKS l...]): a static library of the
# .cpp files in its folders, whose headers are reached as "folder/name.h".
function(quillon_layer target)
  cmake_parse_arguments(L "" "" "FOLDERS;LINKS" ${ARGN})
  set(sources)
  foreach(folder ${L_FOLDERS})
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/src/${folder}/*.cpp)
    list(APPEND sources ${found})
  endforeach()
  quillon_view(${target} ${L_FOLDERS})
  add_library(${target} STATIC ${sources})
  target_include_directories(${target} PUBLIC ${QUILLON_VIEWS}/${target})
  target_link_libraries(${target} PUBLIC ${L_LINKS})
endfunction()
