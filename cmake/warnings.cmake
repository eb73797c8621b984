# One place for the warning policy: every build treats warnings as errors.
function(vxhid_set_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
