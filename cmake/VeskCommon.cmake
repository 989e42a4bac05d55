# Compiler settings shared by every target of the project.
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

# vesk_add_test(NAME name SOURCES ... LIBS ...): one GoogleTest executable.
function(vesk_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT VESK_BUILD_TESTS)
    return()
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} vesk_testsupport GTest::gtest GTest::gtest_main GTest::gmock
                                          vesk_warnings)
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
