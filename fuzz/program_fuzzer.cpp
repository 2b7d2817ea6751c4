// libFuzzer target that reaches past the parser: the first byte chooses the
// operation and `optimize` as in the raw-text target, the remaining bytes are
// turned into a well-typed program by the grammar-driven builder, so lowering,
// the optimizer, differentiation and the emitter see valid programs. Set
// MORVALEN_FUZZ_SHOW=1 to print each built program (for reading a reproducer).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "program_builder.h"
#include "request.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using morvalen::fuzz::Operation;
  if (size == 0) return 0;
  morvalen::fuzz::Request request = morvalen::fuzz::decode_request(data[0]);
  // A tuple result only makes sense for emitted Python; the other operations
  // would stop at once with the output-count error.
  std::string source = morvalen::fuzz::build_program(data + 1, size - 1, request.operation == Operation::EmitPython);
  static const bool show = std::getenv("MORVALEN_FUZZ_SHOW") != nullptr;
  if (show) std::fprintf(stderr, "%s\n", source.c_str());
  std::optional<std::string> error = morvalen::fuzz::run_request(request, source);
  if (show) std::fprintf(stderr, "=> %s\n---\n", error ? error->c_str() : "ok");
  // The builder writes only well-formed programs.
  if (error && error->starts_with("parse failed: ")) morvalen::fuzz::fail("built program does not parse", source);
  return 0;
}
