# orcan_add_gtest(<name> SOURCES <files...> [LIBS <targets...>])
# One GoogleTest executable, registered with CTest test by test.
function(orcan_add_gtest name)
  if(NOT BUILD_TESTING)
    return()
  endif()
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
    # Lets a test that cannot hold under the emulator skip and say why.
    list(GET CMAKE_CROSSCOMPILING_EMULATOR 0 emulator)
    get_filename_component(emulator ${emulator} NAME)
    target_compile_definitions(${name} PRIVATE ORCAN_TEST_EMULATOR="${emulator}")
  endif()
  gtest_discover_tests(${name}
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
endfunction()

# orcan_program_command(<var> <target>)
# The path by which a test starts the program <target>: the program itself, or in a cross
# build a small script that hands it to the emulator, since the machine running the tests
# need not know how to start the target's programs on its own.
function(orcan_program_command var target)
  if(CMAKE_CROSSCOMPILING AND CMAKE_CROSSCOMPILING_EMULATOR)
    list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " emulator)
    set(script ${CMAKE_CURRENT_BINARY_DIR}/emulated/${target})
    file(GENERATE OUTPUT ${script}
      CONTENT "#!/bin/sh\nexec ${emulator} '$<TARGET_FILE:${target}>' \"$@\"\n"
      FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                       WORLD_READ WORLD_EXECUTE)
    set(${var} ${script} PARENT_SCOPE)
  else()
    set(${var} $<TARGET_FILE:${target}> PARENT_SCOPE)
  endif()
endfunction()
