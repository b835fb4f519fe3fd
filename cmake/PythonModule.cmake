# The extension module `tavroacq`: one shared object whose only exported symbol is PyInit_tavroacq.
find_package(Python REQUIRED COMPONENTS Interpreter Development.Module)
file(GLOB_RECURSE TAVROACQ_BINDING_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/python_api/*.cpp)
python_add_library(tavroacq MODULE WITH_SOABI ${TAVROACQ_BINDING_SOURCES})
target_link_libraries(tavroacq PRIVATE tavroacq_core)
target_compile_definitions(tavroacq PRIVATE TAVROACQ_VERSION="${PROJECT_VERSION}")
set_target_properties(tavroacq PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
# Keep libstdc++/libgcc symbols and anything from static archives out of the dynamic symbol table.
target_link_options(tavroacq PRIVATE
  -Wl,--exclude-libs,ALL
  -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/src/python_api/exports.map)
set_property(TARGET tavroacq APPEND PROPERTY LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/python_api/exports.map)
if(SKBUILD)
  install(TARGETS tavroacq LIBRARY DESTINATION .)
  # The type stubs, a stub-only package beside the module where type checkers look for them.
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/tavroacq-stubs/__init__.pyi DESTINATION tavroacq-stubs)
endif()
