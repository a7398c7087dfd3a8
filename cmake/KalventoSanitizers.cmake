# KALVENTO_SANITIZE: builds everything with the compiler's sanitizers, a comma-separated
# list for -fsanitize=, e.g. "address,undefined" or "thread". Empty (the default): none.
# An undefined-behaviour report ends the program, so that a test that causes one fails.
set(KALVENTO_SANITIZE "" CACHE STRING "Sanitizers to build with (address,undefined or thread)")
if(KALVENTO_SANITIZE)
  add_compile_options(-fsanitize=${KALVENTO_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${KALVENTO_SANITIZE})
  if(KALVENTO_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

# KALVENTO_FUZZ: every library is built for libFuzzer's coverage, with AddressSanitizer and
# UndefinedBehaviorSanitizer; the fuzz targets link libFuzzer's main.
if(KALVENTO_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "KALVENTO_FUZZ needs clang: -DCMAKE_CXX_COMPILER=clang++")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
