# Warnings and sanitizers for every target of ours.
add_compile_options(-Wall -Wextra -Wno-unused-parameter)
if(FS_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
if(FS_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# fs_add_library(name SOURCES ... LIBS ...): a static core library whose
# headers are included as "<folder>/<file>.h" relative to src/.
function(fs_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
endfunction()

# fs_add_app_executable(name [BIN] SOURCES ... LIBS ...): an executable of the
# program folder; BIN puts it into the language tool's "bin" subfolder.
function(fs_add_app_executable name)
  cmake_parse_arguments(ARG "BIN" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  if(ARG_BIN)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${FS_APP_BIN_DIR})
  else()
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${FS_APP_DIR})
  endif()
endfunction()

# fs_add_gtest(name SOURCES ... LIBS ... [GUI: offscreen QApplication main] [NO_MAIN] [TIMEOUT s] [LABELS ...]): one GoogleTest
# program, registered with CTest test by test. The tests find the sample
# installation and the built program folder through the environment.
function(fs_add_gtest name)
  cmake_parse_arguments(ARG "GUI;NO_MAIN" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(ARG_GUI AND NOT FS_WITH_GUI)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE fs_test_support ${ARG_LIBS} GTest::gtest GTest::gmock)
  if(ARG_NO_MAIN)
  elseif(ARG_GUI)
    # QApplication on the offscreen platform, then the tests.
    target_link_libraries(${name} PRIVATE fs_gui_test_main)
  else()
    target_link_libraries(${name} PRIVATE GTest::gtest_main)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set(env
    "FS_SOURCE_DIR=${PROJECT_SOURCE_DIR}"
    "FS_APP_DIR=${FS_APP_DIR}"
    "FS_BINARY_DIR=${CMAKE_BINARY_DIR}")
  if(ARG_GUI)
    list(APPEND env "QT_QPA_PLATFORM=offscreen")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_TIMEOUT 60
    PROPERTIES ENVIRONMENT "${env}" TIMEOUT ${ARG_TIMEOUT} LABELS "${ARG_LABELS}")
endfunction()

# fs_add_fuzzer(name SOURCES ... LIBS ...): a libFuzzer target (FS_FUZZ only).
function(fs_add_fuzzer name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()

# fs_add_man_page(target "one-line description"): after each link, help2man
# makes <program folder>/man/man1/<target>.1 from the program's --help and
# --version, so the page never lags behind the program.
find_program(FS_HELP2MAN help2man)
function(fs_add_man_page target description)
  if(NOT FS_HELP2MAN)
    message(FATAL_ERROR "help2man is missing: run scripts/install-deps.sh")
  endif()
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${FS_APP_DIR}/man/man1
    COMMAND ${FS_HELP2MAN} --no-info --no-discard-stderr --name=${description}
            --output=${FS_APP_DIR}/man/man1/${target}.1 $<TARGET_FILE:${target}>
    COMMENT "Man page of ${target}"
    VERBATIM)
endfunction()
