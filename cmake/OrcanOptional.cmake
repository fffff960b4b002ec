# Optional parts: found QUIET and left out when missing, unless ORCAN_REQUIRE_ALL is on. Then
# every missing part is collected and the configure fails once, naming them all, so that one
# run tells what to install.

# orcan_optional_missing(<what>)
function(orcan_optional_missing what)
  set_property(GLOBAL APPEND PROPERTY ORCAN_MISSING_PARTS "${what}")
endfunction()

# At the end of the top-level CMakeLists.txt.
function(orcan_check_required_parts)
  get_property(missing GLOBAL PROPERTY ORCAN_MISSING_PARTS)
  if(ORCAN_REQUIRE_ALL AND missing)
    list(JOIN missing "\n  " lines)
    message(FATAL_ERROR
      "ORCAN_REQUIRE_ALL is on and these parts are missing:\n  ${lines}\n"
      "Install them (scripts/install-deps.sh) or switch the part off explicitly.")
  endif()
endfunction()
