# Warnings and sanitizer flags shared by every target of the project.

if(TALVIK_SANITIZE STREQUAL "address")
  set(TALVIK_SANITIZE_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
elseif(TALVIK_SANITIZE STREQUAL "thread")
  set(TALVIK_SANITIZE_FLAGS -fsanitize=thread -fno-omit-frame-pointer)
elseif(TALVIK_SANITIZE STREQUAL "")
  set(TALVIK_SANITIZE_FLAGS "")
else()
  message(FATAL_ERROR "TALVIK_SANITIZE must be address, thread or empty, not '${TALVIK_SANITIZE}'")
endif()

if(TALVIK_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "TALVIK_FUZZ needs clang (CXX=clang++)")
  endif()
  list(APPEND TALVIK_SANITIZE_FLAGS -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
endif()

# Applied everywhere (including googletest, built from source below) so that
# sanitizers see every frame.
if(TALVIK_SANITIZE_FLAGS)
  add_compile_options(${TALVIK_SANITIZE_FLAGS})
  add_link_options(${TALVIK_SANITIZE_FLAGS})
endif()

function(talvik_target_options target)
  # Not for resource scripts (windres).
  target_compile_options(${target} PRIVATE "$<$<COMPILE_LANGUAGE:C,CXX>:-Wall;-Wextra>")
endfunction()

# Windows programs and the DLL carry their C++ runtime inside, so that they
# import only system DLLs.
if(WIN32)
  add_link_options(-static -static-libgcc -static-libstdc++)
endif()
