# libyaml, compiled into the engine from its source release, so that the
# module depends on no YAML library at run time. The archive is Debian's
# source package of release 0.2.5 (upstream's tarball as released; Debian
# patches nothing in it), kept in third_party/ and checked against its hash.
include(FetchContent)
FetchContent_Declare(libyaml
  URL "${CMAKE_CURRENT_SOURCE_DIR}/third_party/libyaml/libyaml_0.2.5.orig.tar.gz"
  URL_HASH SHA256=fa240dbf262be053f3898006d502d514936c818e422afdcf33921c63bed9bf2e
  DOWNLOAD_EXTRACT_TIMESTAMP ON
  # Only the sources are used: their own build and install rules stay out.
  SOURCE_SUBDIR no-build-of-its-own)
FetchContent_MakeAvailable(libyaml)

set(KAVRO_LIBYAML_SOURCES api.c dumper.c emitter.c loader.c parser.c reader.c scanner.c writer.c)
list(TRANSFORM KAVRO_LIBYAML_SOURCES PREPEND "${libyaml_SOURCE_DIR}/src/")
add_library(kavro_yaml STATIC ${KAVRO_LIBYAML_SOURCES})
# Position-independent: the library ends up inside the shared module.
set_target_properties(kavro_yaml PROPERTIES POSITION_INDEPENDENT_CODE ON C_VISIBILITY_PRESET hidden)
target_include_directories(kavro_yaml SYSTEM PUBLIC "${libyaml_SOURCE_DIR}/include")
target_compile_definitions(kavro_yaml
  PUBLIC YAML_DECLARE_STATIC
  PRIVATE YAML_VERSION_MAJOR=0 YAML_VERSION_MINOR=2 YAML_VERSION_PATCH=5
          YAML_VERSION_STRING="0.2.5")
# Third-party code: our warning flags are not its to meet.
target_compile_options(kavro_yaml PRIVATE -w)
