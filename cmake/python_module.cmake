# The extension module `kavro`, built against the CPython stable ABI (abi3,
# 3.10 and newer), and the stub-only package `kavro-stubs` beside it.
find_package(Python 3.10 REQUIRED COMPONENTS Interpreter Development.SABIModule)
file(GLOB KAVRO_BINDING_SOURCES CONFIGURE_DEPENDS src/binding/*.cpp)
python_add_library(kavro MODULE USE_SABI 3.10 WITH_SOABI ${KAVRO_BINDING_SOURCES})
target_link_libraries(kavro PRIVATE kavro_core)
target_compile_definitions(kavro PRIVATE KAVRO_VERSION="${PROJECT_VERSION}")
# Export PyInit_kavro only: the engine's symbols stay private to the module.
set_target_properties(kavro PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_link_options(kavro PRIVATE "LINKER:--exclude-libs,ALL")
install(TARGETS kavro LIBRARY DESTINATION .)
install(DIRECTORY src/kavro-stubs/ DESTINATION kavro-stubs)
