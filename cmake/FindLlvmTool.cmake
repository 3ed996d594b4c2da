# vxbridge_find_llvm_tool(<var> <tool> <debian-package>)
# Finds an LLVM tool (llvm-dlltool, lld-link, clang, ...) under its plain name,
# with a version suffix (Debian installs e.g. lld-link-14 beside lld-link only
# with the unversioned package) or in an LLVM installation directory. Stops
# the configuration, naming the package to install, when none is found.
function(vxbridge_find_llvm_tool var tool package)
  set(names ${tool})
  foreach(version 20 19 18 17 16 15 14)
    list(APPEND names ${tool}-${version})
  endforeach()
  file(GLOB llvm_dirs LIST_DIRECTORIES true /usr/lib/llvm-*/bin)
  find_program(${var} NAMES ${names} PATHS ${llvm_dirs} NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ${var})
    message(FATAL_ERROR "${tool} not found: install it (Debian: apt-get install ${package}, "
                        "or run scripts/deps.sh)")
  endif()
endfunction()
