# The project's version for the programs' --version: a generated header
# <vesktools/Version.hpp> behind the interface target vesk_version.
configure_file(${CMAKE_CURRENT_LIST_DIR}/Version.hpp.in ${CMAKE_BINARY_DIR}/generated/vesktools/Version.hpp @ONLY)
add_library(vesk_version INTERFACE)
target_include_directories(vesk_version INTERFACE $<BUILD_INTERFACE:${CMAKE_BINARY_DIR}/generated>)
