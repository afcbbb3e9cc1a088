# sx_add_core_library(name SOURCES ... LIBS ...)
#   A headless library: links QtCore at most, never a GUI module.
function(sx_add_core_library name)
  cmake_parse_arguments(A "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${A_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC Qt6::Core ${A_LIBS})
endfunction()

# sx_add_test(name SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s] [GUI])
#   A GoogleTest executable registered with CTest as one test; GUI tests get a
#   widget application (offscreen, or Xvfb from scripts/test).
#   Label "core" marks headless tests that also run in the sanitizer build.
function(sx_add_test name)
  cmake_parse_arguments(A "GUI" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(A_GUI AND SX_CORE_ONLY)
    return()
  endif()
  add_executable(${name} ${A_SOURCES})
  if(A_GUI)
    target_link_libraries(${name} PRIVATE sx_testmain_gui ${A_LIBS})
  else()
    target_link_libraries(${name} PRIVATE sx_testmain ${A_LIBS})
  endif()
  add_test(NAME ${name} COMMAND ${name})
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${A_TIMEOUT} LABELS "${A_LABELS}"
    ENVIRONMENT "SX_SOURCE_DIR=${PROJECT_SOURCE_DIR};SX_BINARY_DIR=${PROJECT_BINARY_DIR};SX_PYTHON=${SX_PYTHON};ASAN_OPTIONS=detect_leaks=1:abort_on_error=1;UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1;QT_QPA_PLATFORM=offscreen")
endfunction()
