# GTS-ready BUFR reports (saltmark_bufr): ECMWF's ecCodes encodes them, and its bufr_dump
# decodes them again in the test. Optional, like the other parts with a package of their own;
# it reads the deployment file, so it needs yaml-cpp too.
find_package(eccodes CONFIG QUIET)
find_package(SQLite3 QUIET)
find_package(nlohmann_json 3 QUIET)
find_program(ORCAN_BUFR_DUMP bufr_dump)
if(eccodes_FOUND AND TARGET eccodes AND TARGET saltmark_deployment AND SQLite3_FOUND)
  add_library(saltmark_bufr STATIC
    ${CMAKE_CURRENT_LIST_DIR}/BufrReport.cpp ${CMAKE_CURRENT_LIST_DIR}/BufrExport.cpp)
  target_include_directories(saltmark_bufr PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(saltmark_bufr
    PUBLIC Saltmark::archive Saltmark::deployment
    PRIVATE eccodes Orcan::wholefile)
  add_library(Saltmark::bufr ALIAS saltmark_bufr)

  if(ORCAN_BUFR_DUMP AND nlohmann_json_FOUND)
    orcan_add_gtest(saltmark_bufr_test
      SOURCES ${CMAKE_CURRENT_LIST_DIR}/Bufr_test.cpp
      LIBS Saltmark::bufr nlohmann_json::nlohmann_json)
    if(TARGET saltmark_bufr_test)
      target_compile_definitions(saltmark_bufr_test PRIVATE
        BUFR_DUMP="${ORCAN_BUFR_DUMP}" EXAMPLES_DIR="${PROJECT_SOURCE_DIR}/examples")
    endif()
  elseif(BUILD_TESTING)
    orcan_optional_missing("ecCodes' bufr_dump (libeccodes-tools, the BUFR round trip)")
  endif()
elseif(NOT eccodes_FOUND)
  message(STATUS "ecCodes not found: the BUFR reports are not built")
  orcan_optional_missing("ecCodes (libeccodes-dev, the BUFR reports)")
endif()
