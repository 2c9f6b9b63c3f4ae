# The panel's frames as a library of their own: the simulator builds on it,
# and the unit tests link it on builds without the simulator. Included from
# both places; the first defines it.
if(NOT TARGET xolsim_frames)
    add_library(xolsim_frames STATIC ${CMAKE_CURRENT_LIST_DIR}/frames.cpp)
    target_include_directories(xolsim_frames PUBLIC ${CMAKE_CURRENT_LIST_DIR})
endif()
