# GTS-ready BUFR reports (saltmark_bufr): ECMWF's ecCodes encodes them, and its bufr_dump
# decodes them again in the test (beside saltmark-export in CMakeLists.txt, as it runs it). Optional, like the other parts with a package of their own;
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

elseif(NOT eccodes_FOUND)
  message(STATUS "ecCodes not found: the BUFR reports are not built")
  orcan_optional_missing("ecCodes (libeccodes-dev, the BUFR reports)")
endif()
