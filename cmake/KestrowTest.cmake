# kestrow_add_test(NAME SOURCES a.cpp b.cpp LIBS lib... LABELS unit|e2e|gui|slow [threaded])
# One GoogleTest executable; every test case becomes a CTest test carrying the labels.
# "threaded" marks tests that the ThreadSanitizer build runs; the target
# `threaded_tests` builds exactly those.
if(NOT TARGET threaded_tests)
  add_custom_target(threaded_tests)
endif()

function(kestrow_add_test name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS "${T_LABELS}" ENVIRONMENT "KESTROW_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
    DISCOVERY_TIMEOUT 60)
  # gtest_discover_tests passes a list-valued property on as separate words, so
  # only the first label would stick; set the whole list once the tests are known.
  set(label_file ${CMAKE_CURRENT_BINARY_DIR}/${name}_labels.cmake)
  file(WRITE ${label_file} "if(${name}_TESTS)\n  set_tests_properties(\${${name}_TESTS} PROPERTIES LABELS \"${T_LABELS}\")\nendif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${label_file})
  if("threaded" IN_LIST T_LABELS)
    add_dependencies(threaded_tests ${name})
  endif()
endfunction()
