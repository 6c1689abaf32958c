# Warnings and sanitizers shared by every target of the project.

set(DCJ_WARNING_FLAGS -Wall -Wextra -Wshadow=local -Wformat=2 -Wformat-truncation=2 -Wno-format-nonliteral)
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # GCC-only spellings.
  set(DCJ_WARNING_FLAGS -Wall -Wextra -Wshadow -Wformat=2 -Wno-format-nonliteral)
endif()
if(DCJ_WERROR)
  list(APPEND DCJ_WARNING_FLAGS -Werror)
endif()

function(dcj_warnings target)
  target_compile_options(${target} PRIVATE ${DCJ_WARNING_FLAGS})
endfunction()

if(DCJ_SANITIZE)
  set(_san "-fsanitize=${DCJ_SANITIZE}" -fno-omit-frame-pointer)
  if(DCJ_SANITIZE MATCHES "undefined")
    list(APPEND _san -fno-sanitize-recover=undefined)
  endif()
  add_compile_options(${_san})
  add_link_options(${_san})
endif()
