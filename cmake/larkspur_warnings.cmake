# Warning flags for every target of ours.
set(LARKSPUR_WARNINGS
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    -Wold-style-cast -Wnon-virtual-dtor -Woverloaded-virtual
    -Wcast-function-type -Wimplicit-fallthrough -Wnull-dereference)
if(LARKSPUR_WERROR)
  list(APPEND LARKSPUR_WARNINGS -Werror)
endif()

function(larkspur_apply_warnings target)
  target_compile_options(${target} PRIVATE ${LARKSPUR_WARNINGS})
endfunction()
