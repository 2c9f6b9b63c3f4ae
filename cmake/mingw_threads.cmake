# The tools and the Windows test programs use std::thread and std::mutex,
# which MinGW-w64's win32-thread compilers (Debian's default alternative) do
# not have. Say so when the tree is configured, not as a compile error deep in
# the host program.
include(CheckCXXSourceCompiles)
check_cxx_source_compiles([[
#include <mutex>
#include <thread>
int main() {
    std::mutex m;
    std::lock_guard<std::mutex> hold(m);
    std::thread t([] {});
    t.join();
}
]] XOL_MINGW_HAS_STD_THREAD)
if(NOT XOL_MINGW_HAS_STD_THREAD)
    message(FATAL_ERROR
        "${CMAKE_CXX_COMPILER} has no std::thread or std::mutex (a win32-thread MinGW "
        "compiler): the tools and the Windows tests need the posix-thread one. Configure with "
        "-DXOL_MINGW_THREADS=posix (cmake/toolchain-mingw32.cmake), or with "
        "-DXOL_BUILD_TOOLS=OFF -DXOL_BUILD_TESTS=OFF for the module alone.")
endif()
