# Compiler settings shared by every target of the project, and the helpers
# that declare its libraries, programs and tests.

# The project's warnings, for this build only: programs and tests link
# vesk_warnings privately, libraries take its options as private compile
# options, so neither the flags nor the target reach the installed package.
add_library(vesk_warnings INTERFACE)
target_compile_options(vesk_warnings INTERFACE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor)
if(VESK_WERROR)
  target_compile_options(vesk_warnings INTERFACE -Werror)
endif()

if(VESK_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# Source paths in log prefixes are given relative to the source tree, e.g.
# "../vesklib_korvel/src/veskSender": the build machine's absolute path never
# reaches the binaries.
add_compile_options("-fmacro-prefix-map=${CMAKE_SOURCE_DIR}/=../")

# vesk_library(name STATIC|SHARED SOURCES ... [INCLUDE dir] [PUBLIC libs...]
#              [PRIVATE libs...]): a library of this project. INCLUDE is its
# public header folder (relative to the calling folder), found as
# <include>/... in the build tree and in the installed include folder. A
# shared library gets the project version and its major version as SONAME.
function(vesk_library name kind)
  cmake_parse_arguments(L "" "INCLUDE" "SOURCES;PUBLIC;PRIVATE" ${ARGN})
  add_library(${name} ${kind} ${L_SOURCES})
  target_link_libraries(${name} PUBLIC ${L_PUBLIC} PRIVATE ${L_PRIVATE})
  target_compile_options(${name} PRIVATE $<TARGET_PROPERTY:vesk_warnings,INTERFACE_COMPILE_OPTIONS>)
  if(L_INCLUDE)
    target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/${L_INCLUDE}>
                                              $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  endif()
  if(kind STREQUAL "SHARED")
    set_target_properties(${name} PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
  endif()
endfunction()

# vesk_program(name SOURCES ... [LIBS ...] [INSTALL]): a program of this
# project, installed to the binary folder when INSTALL is given.
function(vesk_program name)
  cmake_parse_arguments(P "INSTALL" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${P_SOURCES})
  target_link_libraries(${name} PRIVATE ${P_LIBS} vesk_warnings)
  if(P_INSTALL)
    install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endfunction()

# vesk_add_test(NAME name SOURCES ... [LIBS ...] [PROGRAMS ...] [TIMEOUT s]
#               [LABELS ...]): one GoogleTest executable with the shared test
# helpers (testsupport/). PROGRAMS are the built programs it runs, built
# before it.
function(vesk_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;PROGRAMS;LABELS" ${ARGN})
  if(NOT VESK_BUILD_TESTS)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} vesk_testsupport GTest::gtest GTest::gtest_main GTest::gmock
                                          vesk_warnings)
  if(T_PROGRAMS)
    add_dependencies(${T_NAME} ${T_PROGRAMS})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set(test_properties TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    list(APPEND test_properties LABELS "${T_LABELS}")
  endif()
  # Tests find the built programs through VESK_BINARY_DIR; the sources through
  # the compiled-in VESK_SOURCE_DIR.
  target_compile_definitions(${T_NAME} PRIVATE VESK_SOURCE_DIR_PATH="${CMAKE_SOURCE_DIR}"
                                               VESK_BINARY_DIR_DEFAULT="${CMAKE_BINARY_DIR}")
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES ${test_properties}
                       ENVIRONMENT "VESK_BINARY_DIR=${CMAKE_BINARY_DIR}")
endfunction()
