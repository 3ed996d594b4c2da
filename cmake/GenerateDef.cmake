# Writes the module-definition file that fixes the DLL's export ordinals
# from src/interface/exports.txt. On 32-bit Windows the entries carry the
# __stdcall decoration (name@bytes): the DLL is linked with --kill-at, so it
# exports the plain names, while its import library keeps the decorated
# symbols that hosts compiled against the header refer to.
function(vxbridge_generate_def table output decorate)
  file(STRINGS "${table}" lines REGEX "^[0-9]")
  set(text "LIBRARY vxbridge.dll\nEXPORTS\n")
  foreach(line IN LISTS lines)
    string(REGEX MATCH "^([0-9]+) ([A-Za-z0-9_]+) ([0-9]+)" _ "${line}")
    set(ordinal ${CMAKE_MATCH_1})
    set(name ${CMAKE_MATCH_2})
    set(bytes ${CMAKE_MATCH_3})
    if(decorate)
      string(APPEND text "  ${name}@${bytes} @${ordinal}\n")
    else()
      string(APPEND text "  ${name} @${ordinal}\n")
    endif()
  endforeach()
  file(WRITE "${output}.tmp" "${text}")
  configure_file("${output}.tmp" "${output}" COPYONLY)
endfunction()
