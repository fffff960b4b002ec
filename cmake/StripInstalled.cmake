# Run by the install script (see OrcanInstall.cmake) with ORCAN_STRIP and ORCAN_OBJCOPY set:
# strips each ELF or PE file of CMAKE_INSTALL_MANIFEST_FILES not handled before in this run.
cmake_policy(VERSION 3.25)


if(CMAKE_INSTALL_CONFIG_NAME MATCHES "^(Release|MinSizeRel)$")
  set(keep_debug OFF)
elseif(CMAKE_INSTALL_CONFIG_NAME STREQUAL "RelWithDebInfo")
  set(keep_debug ON)
else()
  return()
endif()
if(NOT ORCAN_STRIP)
  message(WARNING "no strip program: the installed binaries keep their symbols")
  return()
endif()

foreach(file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
  if(file IN_LIST ORCAN_STRIPPED_FILES OR IS_SYMLINK "${file}" OR NOT EXISTS "${file}")
    continue()
  endif()
  list(APPEND ORCAN_STRIPPED_FILES "${file}")
  file(READ "${file}" magic LIMIT 4 HEX)
  # ELF (7f 'E' 'L' 'F') or a Windows PE image ('M' 'Z').
  if(NOT magic STREQUAL "7f454c46" AND NOT magic MATCHES "^4d5a")
    continue()
  endif()
  if(keep_debug AND ORCAN_OBJCOPY)
    # A file already linked to its debug information was handled by an earlier install that
    # left it up to date: splitting it again would empty its .debug file.
    # (objcopy says so on standard error only: its status is 0 either way.)
    execute_process(COMMAND "${ORCAN_OBJCOPY}" --dump-section .gnu_debuglink=/dev/null
      "${file}" "${file}.probe" RESULT_VARIABLE failed OUTPUT_QUIET ERROR_VARIABLE missing)
    file(REMOVE "${file}.probe")
    if(NOT failed AND missing STREQUAL "")
      continue()
    endif()
    get_filename_component(dir "${file}" DIRECTORY)
    get_filename_component(name "${file}" NAME)
    file(MAKE_DIRECTORY "${dir}/.debug")
    set(debug "${dir}/.debug/${name}.debug")
    execute_process(COMMAND "${ORCAN_OBJCOPY}" --only-keep-debug "${file}" "${debug}"
      RESULT_VARIABLE failed)
    if(NOT failed)
      execute_process(COMMAND "${ORCAN_STRIP}" --strip-debug --strip-unneeded "${file}"
        RESULT_VARIABLE failed)
    endif()
    if(NOT failed)
      # The link is looked up beside the file and in its .debug folder.
      execute_process(COMMAND "${ORCAN_OBJCOPY}" "--add-gnu-debuglink=${debug}" "${file}"
        RESULT_VARIABLE failed)
    endif()
  else()
    execute_process(COMMAND "${ORCAN_STRIP}" --strip-unneeded "${file}" RESULT_VARIABLE failed)
  endif()
  if(failed)
    message(FATAL_ERROR "${file}: cannot be stripped")
  endif()
  message(STATUS "Stripped: ${file}")
endforeach()
