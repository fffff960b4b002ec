# nlohmann_json for a cross build: the header-only library is the same for every target, so
# the target's compiler gets Debian's headers through a folder that holds them alone (never
# this machine's C headers in /usr/include).
set(nlohmann_json_VERSION 3.11.2)
set(_nlohmann_dir ${CMAKE_BINARY_DIR}/cross-headers/nlohmann_json)
if(NOT EXISTS ${_nlohmann_dir}/nlohmann)
  file(MAKE_DIRECTORY ${_nlohmann_dir})
  file(CREATE_LINK /usr/include/nlohmann ${_nlohmann_dir}/nlohmann SYMBOLIC)
endif()
if(NOT TARGET nlohmann_json::nlohmann_json)
  add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
  set_target_properties(nlohmann_json::nlohmann_json PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES ${_nlohmann_dir})
endif()
set(nlohmann_json_FOUND TRUE)
