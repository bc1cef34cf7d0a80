# Warnings as errors on our own targets only; sanitizers on everything we build.
function(quillnest_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
endfunction()

if(QUILLNEST_SANITIZE)
  list(JOIN QUILLNEST_SANITIZE "," _quillnest_sanitizers)
  add_compile_options(-fsanitize=${_quillnest_sanitizers} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_quillnest_sanitizers})
endif()
