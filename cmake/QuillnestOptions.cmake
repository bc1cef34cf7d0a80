# Warnings as errors on our own targets only; sanitizers on everything we build.
function(quillnest_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Werror)
  # GCC 12 reports std::string concatenation inlined at -O3 as overlapping copies (GCC bug 105329).
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${target} PRIVATE -Wno-error=restrict -Wno-error=stringop-overread)
  endif()
endfunction()

if(QUILLNEST_SANITIZE)
  list(JOIN QUILLNEST_SANITIZE "," _quillnest_sanitizers)
  add_compile_options(-fsanitize=${_quillnest_sanitizers} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_quillnest_sanitizers})
endif()
