# libFuzzer targets, one per entry point: each document loader, construction
# followed by evaluation, the compiler over generated records, and the Arrow
# consumer over arrays built from the input. Included
# before the engine core is declared, so that the core is built with the same
# coverage instrumentation the fuzz targets link against.
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "KAVRO_BUILD_FUZZERS needs clang (libFuzzer); configure with the `fuzz` preset")
endif()
add_compile_options(-fsanitize=fuzzer-no-link)

function(add_kavro_fuzzer name source)
  add_executable(${name} ${source})
  target_include_directories(${name} PRIVATE fuzz)
  target_link_libraries(${name} PRIVATE kavro_core)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
endfunction()

function(add_kavro_fuzzers)
  foreach(loader load_schema load_policy load_governance)
    add_kavro_fuzzer(${loader} fuzz/load_document_fuzzer.cpp)
    target_compile_definitions(${loader} PRIVATE KAVRO_FUZZ_LOADER=${loader})
  endforeach()
  add_kavro_fuzzer(construct_evaluate fuzz/construct_evaluate_fuzzer.cpp)
  add_kavro_fuzzer(compile_records fuzz/compile_records_fuzzer.cpp)
  add_kavro_fuzzer(arrow_consumer fuzz/arrow_consumer_fuzzer.cpp)
endfunction()
