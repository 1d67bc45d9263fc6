# The extension module `kavro`, built against the CPython stable ABI (abi3,
# 3.10 and newer). Filled in with the binding sources.
find_package(Python 3.10 REQUIRED COMPONENTS Interpreter Development.SABIModule)
file(GLOB KAVRO_BINDING_SOURCES CONFIGURE_DEPENDS src/binding/*.cpp)
if(KAVRO_BINDING_SOURCES)
  python_add_library(kavro MODULE USE_SABI 3.10 WITH_SOABI ${KAVRO_BINDING_SOURCES})
  target_link_libraries(kavro PRIVATE kavro_core)
  install(TARGETS kavro LIBRARY DESTINATION .)
endif()
