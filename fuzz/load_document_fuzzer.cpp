// Any text given to a document loader either loads or fails with a non-empty
// message; the sanitizers catch everything else. Built once per loader, with
// KAVRO_FUZZ_LOADER naming it (load_schema, load_policy, load_governance).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "documents/loader.h"

#ifndef KAVRO_FUZZ_LOADER
#error "define KAVRO_FUZZ_LOADER to the loader under test"
#endif

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto loaded = kavro::documents::KAVRO_FUZZ_LOADER({reinterpret_cast<const char*>(data), size});
  if (!loaded.ok() && loaded.error().render().empty()) __builtin_trap();
  return 0;
}
