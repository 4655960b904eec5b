# Fails when an ELF file's run path has an empty or relative element: the
# loader would search the working directory for its libraries.
#   cmake -DFILE=path -P check_runpath.cmake
file(READ_ELF "${FILE}" RUNPATH runpath RPATH rpath)
foreach(element IN LISTS runpath rpath)
  if(NOT element MATCHES "^(/|\\$ORIGIN)")
    message(FATAL_ERROR "${FILE}: run path element \"${element}\" is searched relative to the working directory")
  endif()
endforeach()
message(STATUS "${FILE}: run path ${runpath}${rpath}")
