# Warnings on the project's own targets (not on third-party code such as GoogleTest), as errors
# when RATEMILL_WARNINGS_AS_ERRORS is on.
function(ratemill_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                             -Wno-sign-conversion)
    if(RATEMILL_WARNINGS_AS_ERRORS)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
