# cmake -DKBZ_SOURCE_DIR=... "-DKBZ_LAYERS=json;base;..." -P KbzLayerCheck.cmake
#
# Fails when a file of a layer (or of its tests) includes a header of a layer above it. The
# per-layer test programs catch calls that reach upward when they link; this catches what the
# linker cannot see: inline code, templates and types taken from a higher layer's headers.
# kbzWebSocket.h, the published header, sits at the level of the highest layer it includes;
# app/ and its tests sit above every layer.
list(LENGTH KBZ_LAYERS top)
set(rank 0)
foreach(layer IN LISTS KBZ_LAYERS)
    set(rank_${layer} ${rank})
    math(EXPR rank "${rank} + 1")
endforeach()
set(rank_app ${top})

set(rank_published 0)
file(STRINGS ${KBZ_SOURCE_DIR}/kbzWebSocket.h published REGEX "^#include \"[a-z]+/")
foreach(line IN LISTS published)
    string(REGEX REPLACE "^#include \"([a-z]+)/.*" "\\1" layer "${line}")
    if(DEFINED rank_${layer} AND rank_${layer} GREATER rank_published)
        set(rank_published ${rank_${layer}})
    endif()
endforeach()

set(faults "")
foreach(layer IN LISTS KBZ_LAYERS ITEMS app)
    file(GLOB files ${KBZ_SOURCE_DIR}/${layer}/*.h ${KBZ_SOURCE_DIR}/${layer}/*.cpp
         ${KBZ_SOURCE_DIR}/tests/${layer}/*.h ${KBZ_SOURCE_DIR}/tests/${layer}/*.cpp)
    foreach(file IN LISTS files)
        file(STRINGS ${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]+\"")
        foreach(line IN LISTS includes)
            string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]+\"([^\"]+)\".*" "\\1" header "${line}")
            string(REGEX REPLACE "^tests/" "" target "${header}")
            string(REGEX REPLACE "/.*" "" target_layer "${target}")
            if(header STREQUAL "kbzWebSocket.h")
                set(r ${rank_published})
            elseif(DEFINED rank_${target_layer})
                set(r ${rank_${target_layer}})
            else()
                continue()
            endif()
            if(r GREATER rank_${layer})
                file(RELATIVE_PATH rel ${KBZ_SOURCE_DIR} ${file})
                string(APPEND faults "  ${rel}: layer ${layer} includes ${header}\n")
            endif()
        endforeach()
    endforeach()
endforeach()
if(faults)
    message(FATAL_ERROR "Includes that reach a higher layer:\n${faults}")
endif()
