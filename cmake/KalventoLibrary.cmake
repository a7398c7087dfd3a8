# kalvento_library(<folder> [DEPENDS <folders...>] [LINKS <targets...>]
#                  [PRIVATE_HEADERS <files...>] [EXCLUDE <files...>])
#
# Each folder of src/ is one static library, kalvento_<folder>, made of the folder's sources
# (its tests, *_test.cpp, and the files named in EXCLUDE left out). The folder's headers are
# its interface: a library that links it includes them as "<folder>/<name>.h". Headers named
# in PRIVATE_HEADERS are seen by the folder itself and its tests only. A library sees the
# headers of the folders it DEPENDS on (and theirs) and of no other folder, so an include
# of a folder that is not a dependency fails the build.
function(kalvento_library folder)
  cmake_parse_arguments(L "" "" "DEPENDS;LINKS;PRIVATE_HEADERS;EXCLUDE" ${ARGN})
  set(target kalvento_${folder})
  file(GLOB headers RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} CONFIGURE_DEPENDS *.h)
  file(GLOB sources RELATIVE ${CMAKE_CURRENT_SOURCE_DIR} CONFIGURE_DEPENDS *.cpp)
  list(FILTER sources EXCLUDE REGEX "_test\\.cpp$")
  foreach(excluded IN LISTS L_EXCLUDE)
    list(REMOVE_ITEM sources ${excluded})
  endforeach()
  add_library(${target} STATIC ${sources} ${headers})

  # The headers are reached through links: public ones in include/<folder>/<folder>/,
  # private ones in private/<folder>/<folder>/.
  set(public_root ${CMAKE_BINARY_DIR}/include/${folder})
  set(private_root ${CMAKE_BINARY_DIR}/private/${folder})
  file(REMOVE_RECURSE ${public_root} ${private_root})
  file(MAKE_DIRECTORY ${public_root}/${folder} ${private_root}/${folder})
  foreach(header IN LISTS headers)
    if(header IN_LIST L_PRIVATE_HEADERS)
      file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${header} ${private_root}/${folder}/${header}
           SYMBOLIC)
    else()
      file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR}/${header} ${public_root}/${folder}/${header}
           SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(${target} PUBLIC ${public_root} PRIVATE ${private_root})
  foreach(dependency IN LISTS L_DEPENDS)
    target_link_libraries(${target} PUBLIC kalvento_${dependency})
  endforeach()
  target_link_libraries(${target} PUBLIC ${L_LINKS})
  target_link_libraries(${target} PRIVATE kalvento_warnings)
  set_property(TARGET ${target} PROPERTY KALVENTO_PRIVATE_INCLUDE ${private_root})
endfunction()
