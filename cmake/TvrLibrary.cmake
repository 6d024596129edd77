# tvr_public_library(<name> CORES <static libs...> HEADER <public header>
#                    VERSION <x.y.z> DESCRIPTION <text> [REQUIRES_PRIVATE <libs>])
#
# The shared library lib<name>.so made of the objects of its static cores
# (each module is compiled once; tests and tools link the cores), with
# SOVERSION from the major version, only the public header's API exported,
# and install rules for the library, its header and <name>.pc.
include(GNUInstallDirs)

set(TVR_PC_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/library.pc.in)
set(TVR_C_API_MAP ${CMAKE_CURRENT_LIST_DIR}/c-api-only.map)

# A library core: a static library whose symbols stay hidden unless its
# public header marks them for export.
function(tvr_library_core name)
  set_target_properties(${name} PROPERTIES
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
endfunction()

function(tvr_public_library name)
  cmake_parse_arguments(L "" "HEADER;VERSION;DESCRIPTION;LIBS_PRIVATE" "CORES" ${ARGN})
  set(objects "")
  foreach(core ${L_CORES})
    list(APPEND objects $<TARGET_OBJECTS:${core}>)
  endforeach()
  add_library(${name} SHARED ${objects})
  string(REGEX MATCH "^[0-9]+" major ${L_VERSION})
  set_target_properties(${name} PROPERTIES
    VERSION ${L_VERSION} SOVERSION ${major}
    PUBLIC_HEADER ${L_HEADER})
  # The cores' usage requirements (include directories, their own
  # libraries) without linking their objects a second time.
  foreach(core ${L_CORES})
    get_target_property(deps ${core} INTERFACE_LINK_LIBRARIES)
    if(deps)
      target_link_libraries(${name} PRIVATE ${deps})
    endif()
  endforeach()
  target_link_options(${name} PRIVATE -Wl,--version-script=${TVR_C_API_MAP})
  set_property(TARGET ${name} APPEND PROPERTY LINK_DEPENDS ${TVR_C_API_MAP})
  get_filename_component(header_dir ${L_HEADER} DIRECTORY)
  target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${header_dir}>
                             $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

  # pkg-config file, relocatable: the prefix is found from the file's place.
  file(RELATIVE_PATH PC_PREFIX_FROM_PCDIR ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig
       ${CMAKE_INSTALL_PREFIX})
  set(PC_NAME ${name})
  set(PC_DESCRIPTION ${L_DESCRIPTION})
  set(PC_VERSION ${L_VERSION})
  set(PC_LIBS_PRIVATE ${L_LIBS_PRIVATE})
  configure_file(${TVR_PC_TEMPLATE} ${CMAKE_BINARY_DIR}/pkgconfig/${name}.pc @ONLY)

  install(TARGETS ${name}
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT libraries
          PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT libraries)
  install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/${name}.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT libraries)
endfunction()
