# A text file compiled in as the body of a function that returns it:
# std::string_view NAMESPACE::FUNCTION(). Included from a CMakeLists.txt it
# defines xol_embed_text(); run as a script (cmake -P) it writes the source.
if(CMAKE_SCRIPT_MODE_FILE)
    file(READ ${INPUT} XOL_TEXT)
    if(HEADER)
        set(XOL_INCLUDE "#include \"${HEADER}\"")
    else()
        set(XOL_INCLUDE "#include <string_view>")
    endif()
    file(WRITE ${OUTPUT}
"// Generated from ${SOURCE_NAME}; edit that file instead.
${XOL_INCLUDE}

namespace ${NAMESPACE} {

std::string_view ${FUNCTION}() {
    return R\"xol_embedded(${XOL_TEXT})xol_embedded\";
}

} // namespace ${NAMESPACE}
")
    return()
endif()

set(XOL_EMBED_TEXT_SCRIPT ${CMAKE_CURRENT_LIST_FILE})

# xol_embed_text(<output .cpp> INPUT <file> NAMESPACE <ns> FUNCTION <name>
#                [HEADER <header that declares it>])
function(xol_embed_text output)
    cmake_parse_arguments(ARG "" "INPUT;NAMESPACE;FUNCTION;HEADER" "" ${ARGN})
    file(RELATIVE_PATH source ${CMAKE_CURRENT_SOURCE_DIR} ${ARG_INPUT})
    add_custom_command(
        OUTPUT ${output}
        COMMAND ${CMAKE_COMMAND} -DINPUT=${ARG_INPUT} -DOUTPUT=${output} -DSOURCE_NAME=${source}
                -DNAMESPACE=${ARG_NAMESPACE} -DFUNCTION=${ARG_FUNCTION} -DHEADER=${ARG_HEADER}
                -P ${XOL_EMBED_TEXT_SCRIPT}
        DEPENDS ${ARG_INPUT} ${XOL_EMBED_TEXT_SCRIPT}
        COMMENT "Embedding ${source}"
        VERBATIM)
endfunction()
