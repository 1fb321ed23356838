# Compiles the browser files under server/www/ into the library (the base layer,
# whose resource helpers read them): a generated source file holds each file as
# a byte array, looked up by file name.

function(kbz_embed_www out_var)
    set(www_dir ${PROJECT_SOURCE_DIR}/server/www)
    set(generated ${CMAKE_BINARY_DIR}/generated/kbzWebSocket_WWW.cpp)
    file(GLOB www_files CONFIGURE_DEPENDS ${www_dir}/*)
    add_custom_command(
        OUTPUT ${generated}
        COMMAND ${CMAKE_COMMAND} -DWWW_DIR=${www_dir} -DOUT=${generated}
                -P ${PROJECT_SOURCE_DIR}/cmake/KbzEmbedScript.cmake
        DEPENDS ${www_files} ${PROJECT_SOURCE_DIR}/cmake/KbzEmbedScript.cmake
        COMMENT "Embedding server/www")
    set(${out_var} ${generated} PARENT_SCOPE)
endfunction()
