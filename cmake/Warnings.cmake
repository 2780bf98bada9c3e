# Warning sets for the project's own targets. Third-party code (GoogleTest) is built
# without them.

set(SETUP_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wimplicit-fallthrough -Werror)
# The portable core takes untrusted bytes; conversions there must be spelled out.
set(SETUP_CORE_WARNINGS ${SETUP_WARNINGS} -Wold-style-cast -Wsign-conversion -Wconversion)

# setup_warnings(target [CORE])
function(setup_warnings target)
  if(ARGN STREQUAL "CORE")
    target_compile_options(${target} PRIVATE ${SETUP_CORE_WARNINGS})
  else()
    target_compile_options(${target} PRIVATE ${SETUP_WARNINGS})
  endif()
endfunction()
