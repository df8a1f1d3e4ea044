# Warnings and sanitizers for every target of the project.
add_compile_options(-Wall -Wextra)

if(VEX_SANITIZE)
  if(VEX_SANITIZE STREQUAL "thread")
    set(_vex_san_flags -fsanitize=thread)
  elseif(VEX_SANITIZE MATCHES "^(address|undefined)(,(address|undefined))?$")
    set(_vex_san_flags -fsanitize=${VEX_SANITIZE} -fno-sanitize-recover=undefined)
  else()
    message(FATAL_ERROR "VEX_SANITIZE must be 'address,undefined', 'thread' or empty, not '${VEX_SANITIZE}'")
  endif()
  add_compile_options(${_vex_san_flags} -fno-omit-frame-pointer -g)
  add_link_options(${_vex_san_flags})
  message(STATUS "Sanitizers: ${VEX_SANITIZE}")
endif()

if(VEX_FUZZ AND NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  message(FATAL_ERROR "VEX_FUZZ=ON needs clang (configure with CXX=clang++ CC=clang)")
endif()
