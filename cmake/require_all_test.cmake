# Configures the project with every optional part hidden and ORCAN_REQUIRE_ALL on: the
# configure must fail and name each missing part. Run by CTest with
#   cmake -DSOURCE_DIR=... -DBINARY_DIR=... -DGENERATOR=... -P require_all_test.cmake
file(REMOVE_RECURSE ${BINARY_DIR})
execute_process(
  COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${BINARY_DIR} -G ${GENERATOR}
    -DORCAN_REQUIRE_ALL=ON
    -DCMAKE_DISABLE_FIND_PACKAGE_Qt6=ON
    -DCMAKE_DISABLE_FIND_PACKAGE_Python3=ON
    -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
    -DCMAKE_DISABLE_FIND_PACKAGE_yaml-cpp=ON
    -DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON
    -DCMAKE_DISABLE_FIND_PACKAGE_Boost=ON
    -DCMAKE_DISABLE_FIND_PACKAGE_eccodes=ON
    -DCMAKE_DISABLE_FIND_PACKAGE_OpenSSL=ON
    -DCMAKE_DISABLE_FIND_PACKAGE_netCDF=ON
    -DEDDYRATE_HAVE_HIGHWAY=OFF
  RESULT_VARIABLE status
  OUTPUT_VARIABLE output
  ERROR_VARIABLE output)
file(REMOVE_RECURSE ${BINARY_DIR})
if(status EQUAL 0)
  message(FATAL_ERROR "the configure passed with every optional part missing:\n${output}")
endif()
foreach(part "Qt 6 Widgets" "Python 3" "Google Benchmark" "Highway" "yaml-cpp" "Boost" "ecCodes" "OpenSSL" "netCDF")
  string(FIND "${output}" "${part}" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "the failed configure does not name ${part}:\n${output}")
  endif()
endforeach()
