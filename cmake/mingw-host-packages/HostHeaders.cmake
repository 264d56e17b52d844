# Header-only libraries of the build machine for the MinGW cross build. Their installed package
# files would put all of /usr/include (the build machine's C library) on the include path; here
# the target sees one folder of headers and nothing else.
function(orlo_host_headers target folder)
  if(TARGET ${target})
    return()
  endif()
  set(dir ${CMAKE_BINARY_DIR}/host-headers/${folder})
  file(MAKE_DIRECTORY ${dir})
  if(NOT EXISTS ${dir}/${folder})
    file(CREATE_LINK /usr/include/${folder} ${dir}/${folder} SYMBOLIC)
  endif()
  add_library(${target} INTERFACE IMPORTED)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${dir})
endfunction()
