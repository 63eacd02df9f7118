# Warnings, warnings-as-errors and sanitizers for every target of the project.

function(keelanr_set_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra)
    if(KEELANR_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

if(KEELANR_SANITIZE)
    add_compile_options(-fsanitize=${KEELANR_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${KEELANR_SANITIZE})
    # GCC's flow analysis reports false "may be used uninitialized" warnings in instrumented
    # standard-library code (std::function inside std::regex, for one).
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        add_compile_options(-Wno-maybe-uninitialized)
    endif()
endif()
