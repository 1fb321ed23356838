# Compiler settings shared by every target of the project.

set(KBZ_WARNING_FLAGS -Wall -Wextra -Wpedantic -Wshadow -Wconversion)
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    # g++ 12 reports impossible overlaps inside std::string's own code at -O2
    # (a known false positive of its optimiser), so this one stays a warning.
    list(APPEND KBZ_WARNING_FLAGS -Wno-error=restrict)
endif()

# The tests' common headers (GoogleTest and the standard library parts they use) compiled once per
# build instead of once per test source: a quicker full build (CI). Off by default, because a
# compiler cache does not keep objects made with a precompiled header.
option(KBZ_PRECOMPILE_HEADERS "Precompile the headers every test source includes" OFF)

# A fuzzing build instruments every object for libFuzzer's coverage, so that the fuzzers see the
# library they drive, and checks memory and undefined behaviour unless other sanitizers are asked.
if(KBZ_BUILD_FUZZERS)
    if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
        message(FATAL_ERROR "KBZ_BUILD_FUZZERS needs clang (libFuzzer): -DCMAKE_CXX_COMPILER=clang++")
    endif()
    if(NOT KBZ_SANITIZE)
        set(KBZ_SANITIZE address,undefined)
    endif()
endif()

set(KBZ_SANITIZE_FLAGS "")
if(KBZ_SANITIZE)
    set(KBZ_SANITIZE_FLAGS -fsanitize=${KBZ_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
endif()
if(KBZ_BUILD_FUZZERS)
    list(APPEND KBZ_SANITIZE_FLAGS -fsanitize=fuzzer-no-link)
endif()

function(kbz_configure_target target)
    # Includes are written from the root; the generated headers sit in a root of their own.
    target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                                                $<BUILD_INTERFACE:${KBZ_GENERATED_INCLUDE_DIR}>)
    target_compile_options(${target} PRIVATE ${KBZ_WARNING_FLAGS})
    if(KBZ_WARNINGS_AS_ERRORS)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
    if(KBZ_SANITIZE_FLAGS)
        # Within the build only: an installed library does not impose them on its users.
        target_compile_options(${target} PUBLIC "$<BUILD_INTERFACE:${KBZ_SANITIZE_FLAGS}>")
        target_link_options(${target} PUBLIC "$<BUILD_INTERFACE:${KBZ_SANITIZE_FLAGS}>")
    endif()
endfunction()
