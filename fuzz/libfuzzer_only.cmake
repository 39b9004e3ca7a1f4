# vt_fuzz_target for a tree whose fuzz/CMakeLists.txt does not define it yet: the target is
# built as a libFuzzer program in a fuzz build (VT_FUZZ=ON) and its corpus is replayed with
# -runs=0; other builds skip it. Where fuzz/CMakeLists.txt defines vt_fuzz_target (with the
# corpus replay of every build), that definition is used and this file does nothing.
if(NOT COMMAND vt_fuzz_target)
  function(vt_fuzz_target name)
    cmake_parse_arguments(F "" "CORPUS" "SOURCES;LIBS;FUZZ_LIBS" ${ARGN})
    if(NOT VT_FUZZ)
      return()
    endif()
    if(NOT F_FUZZ_LIBS)
      set(F_FUZZ_LIBS ${F_LIBS})
    endif()
    add_executable(${name} ${F_SOURCES})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer-no-link,address,undefined
                                           -fno-omit-frame-pointer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${name} PRIVATE ${F_FUZZ_LIBS})
    add_test(NAME ${name}_corpus COMMAND ${name} -runs=0 ${F_CORPUS})
    set_tests_properties(${name}_corpus PROPERTIES LABELS fuzz_corpus TIMEOUT 300)
  endfunction()
endif()
