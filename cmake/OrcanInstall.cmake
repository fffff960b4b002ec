# Installed programs and libraries without their debug information: a release install
# (Release, MinSizeRel) strips them; a RelWithDebInfo install keeps the debug information
# beside each one, in .debug/<name>.debug, linked by a .gnu_debuglink that gdb follows, and
# strips the file itself. A Debug install leaves them as built.

set(ORCAN_STRIP_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/StripInstalled.cmake)

# orcan_strip_installed(): after a directory's install(TARGETS ...): every binary installed so
# far that is not stripped yet is stripped, so that an install of this directory alone strips
# too. Call it once more at the end of the top-level CMakeLists.txt for everything else.
function(orcan_strip_installed)
  install(CODE "
    set(ORCAN_STRIP \"${CMAKE_STRIP}\")
    set(ORCAN_OBJCOPY \"${CMAKE_OBJCOPY}\")
    include(\"${ORCAN_STRIP_SCRIPT}\")
  " ALL_COMPONENTS)
endfunction()
