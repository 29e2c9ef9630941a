# Every test goes through marlox_add_test: headless, fixed locale, its own
# temporary profile (see tests/support/testmain.h), registered with CTest.
function(marlox_add_test source)
  cmake_parse_arguments(ARG "" "TIMEOUT" "LABELS" ${ARGN})
  get_filename_component(name ${source} NAME_WE)
  get_filename_component(dir ${source} DIRECTORY)
  get_filename_component(area ${dir} NAME)
  set(target ${area}_${name})
  add_executable(${target} ${source})
  target_link_libraries(${target} PRIVATE marlox_testsupport Qt6::Test)
  target_compile_definitions(${target} PRIVATE QT_FORCE_ASSERTS _GLIBCXX_ASSERTIONS)
  set_target_properties(${target} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME ${area}.${name} COMMAND ${target})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set_tests_properties(${area}.${name} PROPERTIES
    TIMEOUT ${ARG_TIMEOUT}
    LABELS "${area};${ARG_LABELS}"
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LANG=en_US.UTF-8;LC_ALL=C.UTF-8;LANGUAGE=en;TZ=Europe/Berlin;OMP_THREAD_LIMIT=1;MARLOX_BINARY=$<TARGET_FILE:marlox>;QT_LOGGING_RULES=")
endfunction()
