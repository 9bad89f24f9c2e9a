# Warnings as errors on the project's own targets (not on third-party code such as GoogleTest).
function(ratemill_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                             -Wno-sign-conversion -Werror)
endfunction()
