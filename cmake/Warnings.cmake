# Warnings for our own code: -Wall -Wextra -Werror everywhere we compile.
function(mviahlp_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()
