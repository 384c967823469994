# Sanitizer and fuzzing builds of the Linux port. Flags go on every target,
# GoogleTest included, so that no frame is left uninstrumented.

if(OMBREL_SANITIZE)
  if(WIN32)
    message(FATAL_ERROR "OMBREL_SANITIZE is for the Linux port only")
  endif()
  list(JOIN OMBREL_SANITIZE "," ombrel_sanitizers)
  add_compile_options(-fsanitize=${ombrel_sanitizers} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${ombrel_sanitizers})
  if("undefined" IN_LIST OMBREL_SANITIZE)
    # A report must fail the test, not scroll by.
    add_compile_options(-fno-sanitize-recover=all)
  endif()
endif()

if(OMBREL_BUILD_FUZZ)
  if(WIN32 OR NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "OMBREL_BUILD_FUZZ needs clang on Linux (the fuzz preset)")
  endif()
  # Every library is instrumented for coverage and checked by the sanitizers;
  # only the fuzz targets link libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
endif()

if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 19)
  # libstdc++ 12 offers std::expected only when the compiler announces C++20
  # concepts in full (202002). Clang 16 implements what <expected> needs
  # (conditionally trivial special members) but still announces 201907.
  if(CMAKE_CXX_COMPILER_VERSION VERSION_LESS 16)
    message(FATAL_ERROR "clang 16 or later is needed for std::expected with libstdc++")
  endif()
  add_compile_options($<$<COMPILE_LANGUAGE:CXX>:-Wno-macro-redefined>
                      $<$<COMPILE_LANGUAGE:CXX>:-U__cpp_concepts>
                      $<$<COMPILE_LANGUAGE:CXX>:-D__cpp_concepts=202002L>)
endif()
