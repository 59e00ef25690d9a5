# Build helpers shared by every room.

set(KORV_ROOMS "" CACHE INTERNAL "")

# korv_room(TARGET DIR... [DEPENDS ROOM...]): a static library of the .cpp
# files in the DIRs (not recursive), linked against the rooms it calls.
# Rooms are declared bottom up and a room may depend only on rooms declared
# before it, so the declared graph has no cycle. Each room also gets a link
# check, linkcheck_TARGET: every object of the room linked whole with only the
# rooms it names, so that a call into a room it does not name (a call up the
# layers, which would make a cycle) fails the build.
function(korv_room target)
  cmake_parse_arguments(R "" "" "DEPENDS" ${ARGN})
  set(srcs "")
  foreach(dir ${R_UNPARSED_ARGUMENTS})
    file(GLOB s CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND srcs ${s})
  endforeach()
  if(NOT srcs)
    message(FATAL_ERROR "Room ${target} has no sources in ${R_UNPARSED_ARGUMENTS}")
  endif()
  foreach(d ${R_DEPENDS})
    if(NOT TARGET ${d})
      message(FATAL_ERROR "Room ${target} depends on ${d}, which is not declared before it")
    endif()
  endforeach()
  add_library(${target} STATIC ${srcs})
  target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/src/host/include
                                              ${CMAKE_BINARY_DIR}/generated)
  add_dependencies(${target} korv_message_names)
  target_link_libraries(${target} PUBLIC ${R_DEPENDS})
  add_executable(linkcheck_${target} ${CMAKE_SOURCE_DIR}/cmake/linkcheck.cpp)
  target_link_libraries(linkcheck_${target} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,${target}>")
  set(KORV_ROOMS ${KORV_ROOMS} ${target} CACHE INTERNAL "")
endfunction()

# The message catalogue: every *.txt file in DIR is embedded in one generated
# source, KORV_CATALOGUE_SOURCE, that the host compiles, and the named
# messages become the generated header vyr_message_names.h, which every room
# may include (see cmake/embed_catalogue.cmake for the line format). Called
# before the rooms, which wait for the header (korv_message_names).
function(korv_message_catalogue dir)
  file(GLOB cats CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.txt)
  set(gen ${CMAKE_BINARY_DIR}/generated)
  set(out ${gen}/catalogue_data.cpp)
  set(names ${gen}/vyr_message_names.h)
  add_custom_command(
    OUTPUT ${out} ${names}
    COMMAND ${CMAKE_COMMAND} -DOUT=${out} -DNAMES=${names} -DINPUTS="${cats}"
            -P ${CMAKE_SOURCE_DIR}/cmake/embed_catalogue.cmake
    DEPENDS ${cats} ${CMAKE_SOURCE_DIR}/cmake/embed_catalogue.cmake
    COMMENT "Embedding the message catalogue")
  add_custom_target(korv_message_names DEPENDS ${out} ${names})
  set(KORV_CATALOGUE_SOURCE ${out} PARENT_SCOPE)
endfunction()

# Links a target against the rooms it calls; each room brings the rooms it
# stands on. A name that is not a room is an error, so that a list naming a
# room that was renamed or merged (the host's areas are one room, korv_host)
# fails here rather than at the link.
function(korv_link_rooms target libs)
  foreach(l ${libs})
    if(NOT l IN_LIST KORV_ROOMS)
      message(FATAL_ERROR "${target} names ${l}, which is not a room (rooms: ${KORV_ROOMS})")
    endif()
  endforeach()
  target_link_libraries(${target} PRIVATE ${libs})
endfunction()

# Every folder under tests/ that holds .cpp files is one GoogleTest executable,
# named after its path (tests/runtime/trees -> test_runtime_trees). A folder may
# hold a deps.cmake that sets TEST_LIBS to the rooms its tests call (the rooms
# below them come along); otherwise it links every room.
function(korv_test_dirs root)
  file(GLOB_RECURSE all_tests CONFIGURE_DEPENDS ${root}/*.cpp)
  set(dirs "")
  foreach(f ${all_tests})
    get_filename_component(d ${f} DIRECTORY)
    list(APPEND dirs ${d})
  endforeach()
  list(REMOVE_DUPLICATES dirs)
  foreach(d ${dirs})
    file(RELATIVE_PATH rel ${root} ${d})
    if(rel MATCHES "^(fuzz|e2e)")
      continue()
    endif()
    string(REPLACE "/" "_" name "test_${rel}")
    file(GLOB srcs CONFIGURE_DEPENDS ${d}/*.cpp)
    add_executable(${name} ${srcs})
    set(TEST_LIBS ${KORV_ROOMS})
    if(EXISTS ${d}/deps.cmake)
      include(${d}/deps.cmake)
    endif()
    korv_link_rooms(${name} "${TEST_LIBS}")
    # Shared test helpers are included from the top of tests/ ("support/...").
    target_include_directories(${name} PRIVATE ${root})
    target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main)
    target_compile_definitions(${name} PRIVATE KORV_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                         PROPERTIES ENVIRONMENT "KORV_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
  endforeach()
endfunction()
