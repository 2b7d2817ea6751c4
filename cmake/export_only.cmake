# morvalen_export_only(<target> <symbol>)
#
# Links the shared object <target> so that its dynamic symbol table holds only
# <symbol> (an extension module's PyInit_ function). Hidden visibility keeps
# the project's own code private, but not the weak definitions instantiated
# from library headers declared with default visibility (the typeinfo and
# vtable of std::bad_variant_access, for instance). A version script makes
# every other symbol local, with GNU ld, gold and lld alike (so with GCC and
# with Clang); Apple's linker takes an explicit export list instead.
function(morvalen_export_only target symbol)
  if(APPLE)
    target_link_options(${target} PRIVATE "LINKER:-exported_symbol,_${symbol}")
  elseif(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    set(script "${CMAKE_CURRENT_BINARY_DIR}/${target}.exports.map")
    file(CONFIGURE OUTPUT "${script}" CONTENT "{\n  global: @symbol@;\n  local: *;\n};\n" @ONLY)
    target_link_options(${target} PRIVATE "LINKER:--version-script=${script}")
    # Relink when the script changes (a new symbol name).
    set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS "${script}")
  endif()
endfunction()
