# kalvento_warnings: the warnings every target of ours is built with. Linked privately by
# each library, the program, the tests and the benchmarks, so that the headers of Qt,
# GoogleTest and the system are not held to them.
add_library(kalvento_warnings INTERFACE)
target_compile_options(kalvento_warnings INTERFACE -Wall -Wextra)
target_compile_options(kalvento_warnings INTERFACE
  $<$<COMPILE_LANGUAGE:CXX>:-Wshadow -Wold-style-cast -Wconversion>
  # clang counts signedness changes as conversions too; gcc, which CI builds with, does not.
  $<$<CXX_COMPILER_ID:Clang>:-Wno-sign-conversion>)
# CI builds with warnings as errors, so that the code stays clean of them.
option(KALVENTO_WERROR "Treat warnings as errors" OFF)
if(KALVENTO_WERROR)
  target_compile_options(kalvento_warnings INTERFACE -Werror)
endif()
