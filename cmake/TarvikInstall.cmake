# Helpers of the install rules.

# tarvik_install_requires_built(<component>:<target>...)
# Stops an installation, before anything is copied, when a target of a component being
# installed is not built yet, with one message that names them all and says how to build
# them, rather than failing on the first absent file (the demo, for one, builds only what
# it runs). Called before the install rules of the targets.
function(tarvik_install_requires_built)
  set(entries "")
  set(components "")
  foreach(pair IN LISTS ARGN)
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 component)
    list(GET pair 1 target)
    list(APPEND entries "\"${component}:$<TARGET_FILE:${target}>\"")
    list(APPEND components ${component})
  endforeach()
  list(JOIN entries " " entries)
  set(build_dir "${PROJECT_BINARY_DIR}")
  string(CONFIGURE [[
    set(missing "")
    foreach(entry IN ITEMS @entries@)
      string(REGEX REPLACE ":.*" "" component "${entry}")
      string(REGEX REPLACE "^[^:]*:" "" file "${entry}")
      if((NOT CMAKE_INSTALL_COMPONENT OR CMAKE_INSTALL_COMPONENT STREQUAL component)
         AND NOT EXISTS "${file}")
        get_filename_component(name "${file}" NAME)
        list(APPEND missing "${name}")
      endif()
    endforeach()
    if(missing)
      list(JOIN missing ", " missing)
      message(FATAL_ERROR "Not built yet: ${missing}. Build the project before installing "
                          "it: cmake --build \"@build_dir@\"")
    endif()
  ]] code @ONLY)
  # Each component runs the check when installed alone; a whole installation runs it
  # first with the first component, for every file.
  list(REMOVE_DUPLICATES components)
  foreach(component IN LISTS components)
    install(CODE "${code}" COMPONENT ${component})
  endforeach()
endfunction()

# tarvik_install_pkgconfig(<template> <component>)
# Installs the pkg-config file made from <template> into <libdir>/pkgconfig. The file is
# written when installing, for the prefix installed into (WritePkgConfig.cmake tells how).
function(tarvik_install_pkgconfig template component)
  get_filename_component(name "${template}" NAME_WLE)
  set(output "${PROJECT_BINARY_DIR}/pkgconfig/${name}")
  install(CODE "
    set(TARVIK_PC_TEMPLATE \"${template}\")
    set(TARVIK_PC_OUTPUT \"${output}\")
    set(TARVIK_PC_CONFIGURED_PREFIX \"${CMAKE_INSTALL_PREFIX}\")
    set(TARVIK_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
    set(TARVIK_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
    set(TARVIK_PC_DESCRIPTION \"${PROJECT_DESCRIPTION}\")
    set(TARVIK_PC_VERSION \"${PROJECT_VERSION}\")
    include(\"${CMAKE_CURRENT_FUNCTION_LIST_DIR}/WritePkgConfig.cmake\")"
    COMPONENT ${component})
  install(FILES "${output}" DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT ${component})
endfunction()

# tarvik_install_gzipped(<file> <destination> <component>)
# Installs <file> compressed, as <name>.gz, the way Debian wants manual pages and
# changelogs, when gzip is at hand; as it is otherwise. The copy is made when CMake
# configures, and again whenever <file> changes.
find_program(TARVIK_GZIP gzip)
mark_as_advanced(TARVIK_GZIP)
function(tarvik_install_gzipped file destination component)
  if(NOT TARVIK_GZIP)
    install(FILES ${file} DESTINATION ${destination} COMPONENT ${component})
    return()
  endif()
  get_filename_component(name ${file} NAME)
  set(output ${PROJECT_BINARY_DIR}/gzipped/${destination}/${name}.gz)
  get_filename_component(output_dir ${output} DIRECTORY)
  file(MAKE_DIRECTORY ${output_dir})
  # -n: no name or time stamp in the header, so the packages are reproducible.
  execute_process(COMMAND ${TARVIK_GZIP} -9 -n -c ${file} OUTPUT_FILE ${output}
                  COMMAND_ERROR_IS_FATAL ANY)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${file})
  install(FILES ${output} DESTINATION ${destination} COMPONENT ${component})
endfunction()
