# Each folder owns its sources; adding a file to a folder needs no edit here.
function(korvel_glob_sources out_var)
  set(found)
  foreach(dir IN LISTS ARGN)
    file(GLOB_RECURSE dir_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND found ${dir_sources})
  endforeach()
  set(${out_var} ${found} PARENT_SCOPE)
endfunction()

# A library sees only the folders it declares and those of what it links: each
# has an include root of its own holding links to its folders, so an include
# that reaches up a layer names a file the compiler cannot find.
function(korvel_public_folders target)
  set(root ${CMAKE_BINARY_DIR}/layers/${target})
  foreach(folder IN LISTS ARGN)
    get_filename_component(parent ${root}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    if(NOT EXISTS ${root}/${folder})
      file(CREATE_LINK ${CMAKE_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
    endif()
  endforeach()
  target_include_directories(${target} PUBLIC ${root})
endfunction()

function(korvel_add_test_binary name)
  cmake_parse_arguments(ARG "" "" "DIRS;LIBS" ${ARGN})
  korvel_glob_sources(test_sources ${ARG_DIRS})
  if(NOT test_sources)
    return()
  endif()
  add_executable(${name} ${test_sources})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock korvel_options)
  # Tests reach into every layer they check, and into tests/.
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE
    KORVEL_TEST_BINARY_DIR="${CMAKE_BINARY_DIR}/bin"
    KORVEL_TEST_SOURCE_DIR="${CMAKE_SOURCE_DIR}/tests")
  # GDK_DEBUG reaches the companions the tests start too: see gtk_test_support.cpp.
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 300 ENVIRONMENT "GDK_DEBUG=gl-disable")
endfunction()
