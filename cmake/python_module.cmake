# The extension modules `_morvalen` (frozen) and `_morvalen_ext` (the package's
# further operations): stable-ABI shared objects for every CPython >= 3.10,
# each linking the static core. Included from src/CMakeLists.txt when
# MORVALEN_BUILD_PYTHON is ON (scikit-build-core turns it on for wheels).
#
# scikit-build-core sets SKBUILD_SABI_COMPONENT to the empty text for
# interpreters without a stable ABI (free-threaded builds); those get ordinary
# version-specific modules instead.

set(MORVALEN_BINDING_SOURCES ${PROJECT_SOURCE_DIR}/src/py_binding.cpp)

include(${CMAKE_CURRENT_LIST_DIR}/export_only.cmake)

if(DEFINED SKBUILD_SABI_COMPONENT AND SKBUILD_SABI_COMPONENT STREQUAL "")
  find_package(Python 3.10 REQUIRED COMPONENTS Interpreter Development.Module)
  Python_add_library(_morvalen MODULE WITH_SOABI ${PROJECT_SOURCE_DIR}/src/pybindings.cpp ${MORVALEN_BINDING_SOURCES})
  Python_add_library(_morvalen_ext MODULE WITH_SOABI ${PROJECT_SOURCE_DIR}/src/ext_bindings.cpp ${MORVALEN_BINDING_SOURCES})
else()
  find_package(Python 3.10 REQUIRED COMPONENTS Interpreter Development.SABIModule)
  # USE_SABI 3.10 links the abi3 stub and defines Py_LIMITED_API=0x030A0000
  # (py_binding.h checks the value).
  Python_add_library(_morvalen MODULE WITH_SOABI USE_SABI 3.10
    ${PROJECT_SOURCE_DIR}/src/pybindings.cpp ${MORVALEN_BINDING_SOURCES})
  Python_add_library(_morvalen_ext MODULE WITH_SOABI USE_SABI 3.10
    ${PROJECT_SOURCE_DIR}/src/ext_bindings.cpp ${MORVALEN_BINDING_SOURCES})
endif()

target_link_libraries(_morvalen PRIVATE morvalen_api morvalen_warnings)
set_target_properties(_morvalen PROPERTIES
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)
morvalen_export_only(_morvalen PyInit__morvalen)

target_link_libraries(_morvalen_ext PRIVATE morvalen_api morvalen_warnings)
set_target_properties(_morvalen_ext PROPERTIES
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)
morvalen_export_only(_morvalen_ext PyInit__morvalen_ext)

install(TARGETS _morvalen _morvalen_ext LIBRARY DESTINATION morvalen)
