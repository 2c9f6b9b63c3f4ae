# The header-only libraries the tools build on: nlohmann-json (the codec and
# both tools), fmt and CLI11 (the tools). Included at the top level before
# the codec, so that the codec, the simulator and the host program all see
# the same targets.
if(WIN32)
    # The cross toolchain searches the target's root only, where fmt, CLI11
    # and nlohmann-json are not; they are header-only, so their own folders
    # are linked into one of ours (never the whole of /usr/include).
    set(XOL_HOST_HEADER_ROOT /usr/include CACHE PATH "Where fmt/, CLI/ and nlohmann/ are")
    set(XOL_HOST_HEADERS ${CMAKE_BINARY_DIR}/headers)
    foreach(dir fmt CLI nlohmann)
        if(NOT EXISTS ${XOL_HOST_HEADER_ROOT}/${dir})
            message(FATAL_ERROR "${XOL_HOST_HEADER_ROOT}/${dir} is missing (libfmt-dev, "
                                "libcli11-dev, nlohmann-json3-dev)")
        endif()
        file(MAKE_DIRECTORY ${XOL_HOST_HEADERS})
        file(CREATE_LINK ${XOL_HOST_HEADER_ROOT}/${dir} ${XOL_HOST_HEADERS}/${dir} SYMBOLIC)
    endforeach()
    add_library(xolhost_headers INTERFACE)
    target_include_directories(xolhost_headers SYSTEM INTERFACE ${XOL_HOST_HEADERS})
    target_compile_definitions(xolhost_headers INTERFACE FMT_HEADER_ONLY)
    add_library(fmt::fmt ALIAS xolhost_headers)
    add_library(nlohmann_json::nlohmann_json ALIAS xolhost_headers)
else()
    find_package(nlohmann_json REQUIRED)
    if(XOL_BUILD_TOOLS)
        find_package(fmt REQUIRED)
    endif()
endif()
