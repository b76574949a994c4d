# kestrow_add_test(NAME SOURCES a.cpp b.cpp LIBS lib... LABELS unit|e2e|gui|slow [threaded] [COST seconds])
# One GoogleTest executable; every test case becomes a CTest test carrying the labels.
# COST, the rough run time of its longest case, lets CTest start the long ones
# first, so they do not run alone at the end of a parallel run.
# "threaded" marks tests that the ThreadSanitizer build runs; the target
# `threaded_tests` builds exactly those.
if(NOT TARGET threaded_tests)
  add_custom_target(threaded_tests)
endif()

function(kestrow_add_test name)
  cmake_parse_arguments(T "" "COST" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  # Test sources are compiled in batches: each one alone would parse the test
  # framework again, which costs more than the test code itself.
  set_target_properties(${name} PROPERTIES UNITY_BUILD ON)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS "${T_LABELS}" ENVIRONMENT "KESTROW_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
    DISCOVERY_TIMEOUT 60)
  # gtest_discover_tests passes a list-valued property on as separate words, so
  # only the first label would stick; set the whole list once the tests are known.
  set(label_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
  set(cost "")
  if(T_COST)
    set(cost " COST ${T_COST}")
  endif()
  file(WRITE ${label_file} "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${T_LABELS}\"${cost})\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_file})
  if("threaded" IN_LIST T_LABELS)
    add_dependencies(threaded_tests ${name})
  endif()
endfunction()
