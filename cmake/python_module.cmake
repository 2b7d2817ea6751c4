# The extension module `_morvalen`: one stable-ABI shared object for every
# CPython >= 3.10, linking the static core. Included from src/CMakeLists.txt
# when MORVALEN_BUILD_PYTHON is ON (scikit-build-core turns it on for wheels).
#
# scikit-build-core sets SKBUILD_SABI_COMPONENT to the empty text for
# interpreters without a stable ABI (free-threaded builds); those get an
# ordinary version-specific module instead.

include(${CMAKE_CURRENT_LIST_DIR}/export_only.cmake)

if(DEFINED SKBUILD_SABI_COMPONENT AND SKBUILD_SABI_COMPONENT STREQUAL "")
  find_package(Python 3.10 REQUIRED COMPONENTS Interpreter Development.Module)
  Python_add_library(_morvalen MODULE WITH_SOABI ${PROJECT_SOURCE_DIR}/src/pybindings.cpp)
else()
  find_package(Python 3.10 REQUIRED COMPONENTS Interpreter Development.SABIModule)
  # USE_SABI 3.10 links the abi3 stub and defines Py_LIMITED_API=0x030A0000
  # (pybindings.cpp checks the value).
  Python_add_library(_morvalen MODULE WITH_SOABI USE_SABI 3.10 ${PROJECT_SOURCE_DIR}/src/pybindings.cpp)
endif()

target_link_libraries(_morvalen PRIVATE morvalen_api morvalen_warnings)
set_target_properties(_morvalen PROPERTIES
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)
morvalen_export_only(_morvalen PyInit__morvalen)

install(TARGETS _morvalen LIBRARY DESTINATION morvalen)
