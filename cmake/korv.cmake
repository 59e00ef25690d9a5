# Build helpers shared by every room.

set(KORV_ROOMS "" CACHE INTERNAL "")

# korv_room(TARGET DIR): a static library of the .cpp files in DIR (not recursive).
function(korv_room target dir)
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
  if(NOT srcs)
    return()
  endif()
  add_library(${target} STATIC ${srcs})
  target_include_directories(${target} PUBLIC ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/src/host/include)
  target_link_libraries(${target} PUBLIC Threads::Threads)
  set(KORV_ROOMS ${KORV_ROOMS} ${target} CACHE INTERNAL "")
endfunction()

# The message catalogue: every *.txt file in DIR is embedded in one generated
# source that the messages room compiles. A line is "GROUP NUMBER TEXT".
function(korv_message_catalogue target dir)
  file(GLOB cats CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.txt)
  set(out ${CMAKE_BINARY_DIR}/generated/catalogue_data.cpp)
  add_custom_command(
    OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -DOUT=${out} -DINPUTS="${cats}" -P ${CMAKE_SOURCE_DIR}/cmake/embed_catalogue.cmake
    DEPENDS ${cats} ${CMAKE_SOURCE_DIR}/cmake/embed_catalogue.cmake
    COMMENT "Embedding the message catalogue")
  if(TARGET ${target})
    target_sources(${target} PRIVATE ${out})
  endif()
endfunction()

function(korv_all_libraries outvar)
  set(${outvar} ${KORV_ROOMS} PARENT_SCOPE)
endfunction()

# Link a target against room libraries as one rescanned group.
function(korv_link_rooms target libs)
  if(libs)
    string(REPLACE ";" "," group "${libs}")
    target_link_libraries(${target} PRIVATE "$<LINK_GROUP:RESCAN,${group}>")
    foreach(l ${libs})
      target_include_directories(${target} PRIVATE $<TARGET_PROPERTY:${l},INTERFACE_INCLUDE_DIRECTORIES>)
    endforeach()
  endif()
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/src/host/include)
  target_link_libraries(${target} PRIVATE Threads::Threads)
endfunction()

# Every folder under tests/ that holds .cpp files is one GoogleTest executable,
# named after its path (tests/runtime/trees -> test_runtime_trees). A folder may
# hold a deps.cmake that sets TEST_LIBS to the rooms it needs; otherwise it
# links every room.
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
    set(present "")
    foreach(l ${TEST_LIBS})
      if(TARGET ${l})
        list(APPEND present ${l})
      endif()
    endforeach()
    korv_link_rooms(${name} "${present}")
    target_link_libraries(${name} PRIVATE GTest::gtest GTest::gtest_main)
    target_compile_definitions(${name} PRIVATE KORV_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                         PROPERTIES ENVIRONMENT "KORV_SOURCE_DIR=${CMAKE_SOURCE_DIR}")
  endforeach()
endfunction()
