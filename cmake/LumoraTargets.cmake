# Helpers shared by every target of the project.

# One precompiled header for all targets: LibTorch's headers dominate compile
# time. Reuse requires identical flags, so -fPIC is set for every target
# (executables included) instead of CMake's per-kind PIC/PIE choice.
add_compile_options(-fPIC)

# Warnings for every source of ours; the headers of LibTorch and the other
# libraries come in as system headers, so theirs do not count. -Wconversion
# catches a 64-bit count or id narrowed, or made a double, without a cast.
add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wall> $<$<COMPILE_LANGUAGE:CXX>:-Wextra>
                    $<$<COMPILE_LANGUAGE:CXX>:-Wshadow> $<$<COMPILE_LANGUAGE:CXX>:-Wconversion>)
if(LUMORA_WERROR)
  add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Werror>)
endif()

# Off: every source is compiled on its own includes, which shows a file that
# compiles only because the shared header happens to bring what it uses.
if(LUMORA_PCH)
  file(WRITE "${CMAKE_BINARY_DIR}/generated/pch_anchor.cpp" "// anchor for the shared precompiled header\n")
  add_library(lumora_pch OBJECT "${CMAKE_BINARY_DIR}/generated/pch_anchor.cpp")
  target_link_libraries(lumora_pch PUBLIC lumora::torch)
  target_precompile_headers(lumora_pch PRIVATE "${PROJECT_SOURCE_DIR}/lumora/core/pch.h")
endif()

function(lumora_use_pch target)
  if(LUMORA_PCH)
    target_precompile_headers(${target} REUSE_FROM lumora_pch)
  endif()
endfunction()

# lumora_module(<name> SOURCES ... [DEPS ...]) -> shared library lumora_<name>
function(lumora_module name)
  cmake_parse_arguments(M "" "" "SOURCES;DEPS" ${ARGN})
  set(t lumora_${name})
  add_library(${t} SHARED ${M_SOURCES})
  target_include_directories(${t} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<BUILD_INTERFACE:${PROJECT_BINARY_DIR}/generated>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${t} PUBLIC lumora::torch ${M_DEPS})
  lumora_use_pch(${t})
  install(TARGETS ${t} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
endfunction()

# lumora_program(<name> <source> <deps...>) -> installed executable
function(lumora_program name source)
  add_executable(${name} ${source})
  target_link_libraries(${name} PRIVATE ${ARGN})
  install(TARGETS ${name} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endfunction()

# lumora_test(<name> [ONE_PROCESS] SOURCES ... DEPS ... [LABELS ...] [PREFIX p])
# -> gtest executable registered with CTest, one CTest entry per test case;
# ONE_PROCESS registers the whole executable as one entry instead, for suites
# whose costly set-up is shared by their cases. LABELS go on every entry
# (ctest -L), PREFIX (with LABELS) before every entry's name (ctest -R).
function(lumora_test name)
  cmake_parse_arguments(T "ONE_PROCESS" "PREFIX" "SOURCES;DEPS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_DEPS} lumora_testing GTest::gtest_main)
  lumora_use_pch(${name})
  set(_env "LUMORA_BUILD_DIR=${PROJECT_BINARY_DIR};LUMORA_SOURCE_DIR=${PROJECT_SOURCE_DIR}")
  if(T_ONE_PROCESS)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${_env}")
    if(T_LABELS)
      set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
    endif()
  elseif(T_LABELS)
    # Before ENVIRONMENT: discovery spreads a list value over several arguments.
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 TEST_PREFIX "${T_PREFIX}"
                         PROPERTIES LABELS "${T_LABELS}" ENVIRONMENT "${_env}")
  else()
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120 PROPERTIES ENVIRONMENT "${_env}")
  endif()
endfunction()
