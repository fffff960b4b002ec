# The page's files and the npm packages' browser builds (d3-geo with the d3-array it needs),
# copied into <build>/converter/server/web where saltmark-server looks for them. The packages come from `npm ci` (scripts/install-deps.sh)
# into web/node_modules; the page works without internet because nothing is fetched at run time.
set(web_source ${CMAKE_CURRENT_SOURCE_DIR}/web)
set(web_build ${CMAKE_CURRENT_BINARY_DIR}/web)
file(GLOB web_pages CONFIGURE_DEPENDS ${web_source}/*.html ${web_source}/*.js ${web_source}/*.css
  ${web_source}/*.svg)
set(web_vendor
  ${web_source}/node_modules/uplot/dist/uPlot.esm.js
  ${web_source}/node_modules/uplot/dist/uPlot.min.css
  ${web_source}/node_modules/topojson-client/dist/topojson-client.min.js
  ${web_source}/node_modules/d3-array/dist/d3-array.min.js
  ${web_source}/node_modules/d3-geo/dist/d3-geo.min.js
  ${web_source}/node_modules/world-atlas/land-50m.json
  ${web_source}/node_modules/world-atlas/land-110m.json)
foreach(file IN LISTS web_vendor)
  if(NOT EXISTS ${file})
    message(WARNING "${file} is missing: run scripts/install-deps.sh (npm ci) for the dashboard's charts and coastlines")
    orcan_optional_missing("the dashboard page's npm packages (npm ci in converter/server/web)")
    set(web_vendor "")
    break()
  endif()
endforeach()
# Without the packages the page is copied alone (no charts, no map) rather than failing the build.
set(web_copy_vendor "")
if(web_vendor)
  set(web_copy_vendor COMMAND ${CMAKE_COMMAND} -E copy ${web_vendor} ${web_build}/vendor/)
endif()
add_custom_command(OUTPUT ${web_build}/.copied
  COMMAND ${CMAKE_COMMAND} -E make_directory ${web_build}/vendor
  COMMAND ${CMAKE_COMMAND} -E copy ${web_pages} ${web_build}/
  ${web_copy_vendor}
  COMMAND ${CMAKE_COMMAND} -E touch ${web_build}/.copied
  DEPENDS ${web_pages} ${web_vendor}
  COMMENT "Copying the dashboard's page"
  VERBATIM)
add_custom_target(saltmark_dashboard_web ALL DEPENDS ${web_build}/.copied)
