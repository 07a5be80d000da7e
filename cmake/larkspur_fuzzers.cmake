# LARKSPUR_BUILD_FUZZERS: every library gets libFuzzer's coverage hooks and
# AddressSanitizer + UndefinedBehaviorSanitizer; fuzz/ adds the targets.
if(NOT LARKSPUR_BUILD_FUZZERS)
  return()
endif()
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "LARKSPUR_BUILD_FUZZERS needs clang "
                      "(configure with -DCMAKE_CXX_COMPILER=clang++)")
endif()
if(LARKSPUR_SANITIZE)
  message(FATAL_ERROR "LARKSPUR_BUILD_FUZZERS brings its own sanitizers; "
                      "leave LARKSPUR_SANITIZE empty")
endif()
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined
                    -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
add_link_options(-fsanitize=address,undefined)
