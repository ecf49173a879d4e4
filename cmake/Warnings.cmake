# Warning set shared by every target of the project (third-party code is not compiled here).
function(plombar_target_warnings target)
    target_compile_options(${target} PRIVATE
        $<$<COMPILE_LANGUAGE:CXX>:-Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wold-style-cast>
        $<$<COMPILE_LANGUAGE:C>:-Wall -Wextra>)
    if(PLOMBAR_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()
