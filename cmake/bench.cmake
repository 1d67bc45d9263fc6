# What bench/run measures beside the module: the floor module (the least an
# evaluate call can do through the stable ABI), the parse and SHA-256 floor
# program, and the C++-only timer of the evaluator and the hash.
python_add_library(kavro_floor MODULE USE_SABI 3.10 WITH_SOABI bench/floor.c)
# A type's slot table stores functions as void pointers, which ISO C does not
# allow: the stable ABI's own idiom, so pedantic C warns on it.
target_compile_options(kavro_floor PRIVATE $<$<C_COMPILER_ID:GNU,Clang>:-Wno-pedantic>)

# The floors parse with the libyaml the engine is built with, and take
# OpenSSL's SHA-256 as the reference the built-in digest is held to; only the
# benchmarks link OpenSSL.
find_package(OpenSSL REQUIRED COMPONENTS Crypto)
add_executable(parse_floor bench/parse_floor.c)
target_link_libraries(parse_floor PRIVATE kavro_yaml OpenSSL::Crypto)

add_executable(core_bench bench/core_bench.cpp)
target_link_libraries(core_bench PRIVATE kavro_core OpenSSL::Crypto)
