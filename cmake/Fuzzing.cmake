# libFuzzer builds (clang only): every target of the project gets coverage instrumentation, and the
# fuzz targets in fuzz/ become libFuzzer executables. The sanitizers come from PLOMBAR_SANITIZE;
# the "fuzz" preset sets both:
#   cmake --preset fuzz && cmake --build build/fuzz --target plombar-fuzz
option(PLOMBAR_FUZZ "Build the libFuzzer targets (clang only, with PLOMBAR_SANITIZE)" OFF)

if(PLOMBAR_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
        message(FATAL_ERROR "PLOMBAR_FUZZ needs clang (CC=clang CXX=clang++, or the fuzz preset)")
    endif()
    if(NOT PLOMBAR_SANITIZE)
        message(FATAL_ERROR "PLOMBAR_FUZZ needs PLOMBAR_SANITIZE=ON: a fuzzer without sanitizers finds crashes only")
    endif()
    add_compile_options(-fsanitize=fuzzer-no-link)
endif()
