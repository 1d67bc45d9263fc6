# The Python package `kavro`: its pure-Python modules from src/kavro and the
# extension `kavro._kavro`, built against the CPython stable ABI (abi3, 3.10
# and newer). The build tree mirrors the installed package, so a build
# directory on sys.path imports as the installed wheel does.
find_package(Python 3.10 REQUIRED COMPONENTS Interpreter Development.SABIModule)
file(GLOB KAVRO_BINDING_SOURCES CONFIGURE_DEPENDS src/binding/*.cpp)
python_add_library(kavro MODULE USE_SABI 3.10 WITH_SOABI ${KAVRO_BINDING_SOURCES})
target_link_libraries(kavro PRIVATE kavro_core)
target_compile_definitions(kavro PRIVATE KAVRO_VERSION="${PROJECT_VERSION}")
# Export PyInit__kavro only: the engine's symbols stay private to the module.
set_target_properties(kavro PROPERTIES OUTPUT_NAME _kavro
  LIBRARY_OUTPUT_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/kavro"
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
target_link_options(kavro PRIVATE "LINKER:--exclude-libs,ALL")
add_custom_target(kavro_python_sources
  COMMAND "${CMAKE_COMMAND}" -E copy_directory "${CMAKE_CURRENT_SOURCE_DIR}/src/kavro"
          "${CMAKE_CURRENT_BINARY_DIR}/kavro")
add_dependencies(kavro kavro_python_sources)
install(TARGETS kavro LIBRARY DESTINATION kavro)
install(DIRECTORY src/kavro/ DESTINATION kavro PATTERN "__pycache__" EXCLUDE)
