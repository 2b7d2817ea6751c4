// libFuzzer target over the public API with raw source text: the first byte
// chooses the operation and `optimize`, the remaining bytes are the program.
// Inputs that are not valid UTF-8 are skipped, since the Python module only
// ever passes UTF-8 text.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "request.h"
#include "support/unicode.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::string_view source(reinterpret_cast<const char*>(data + 1), size - 1);
  if (!morvalen::support::is_valid_utf8(source)) return -1;
  morvalen::fuzz::run_request(morvalen::fuzz::decode_request(data[0]), source);
  return 0;
}
