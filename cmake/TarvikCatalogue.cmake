# tarvik_add_catalogue(<target> <source>...)
#
# Compiles each error catalogue source with TarvikCompile at build time, in a build
# directory of its own, adds that directory to <target>'s include path and makes
# <target> depend on the generated files, so that editing a source rebuilds exactly
# what includes its headers.
#
# The directory of a source is <current binary dir>/tarvik/<source file name>. It holds
# <CLASS>_err.h and <CLASS>_err.tarvik for every class of the source; the compiled
# catalogues are what a configuration file must point at. The directories of a target
# are listed in its property TARVIK_CATALOGUE_DIRS.
#
# The generated files are named after the classes declared inside a source, so its
# .CLASS lines are read at configure time, by the compiler's rules (the first word after
# ".CLASS" and its blanks, a-z upper-cased), and the project is configured again
# whenever a source changes. Several targets may share a source: it is compiled once.
function(tarvik_add_catalogue target)
  if(NOT TARGET ${target})
    message(FATAL_ERROR "tarvik_add_catalogue: ${target} is not a target")
  endif()
  if(NOT ARGN)
    message(FATAL_ERROR "tarvik_add_catalogue: no catalogue source given for ${target}")
  endif()
  foreach(source IN LISTS ARGN)
    get_filename_component(source_path "${source}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    get_filename_component(source_name "${source_path}" NAME)
    set(out_dir "${CMAKE_CURRENT_BINARY_DIR}/tarvik/${source_name}")

    # One target owns the generated files of a directory, whoever asks for them.
    string(MD5 dir_hash "${out_dir}")
    string(SUBSTRING "${dir_hash}" 0 8 dir_hash)
    string(MAKE_C_IDENTIFIER "tarvik_catalogue_${source_name}_${dir_hash}" owner)
    if(NOT TARGET ${owner})
      _tarvik_catalogue_outputs("${source_path}" "${out_dir}" outputs)
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${source_path}")
      file(MAKE_DIRECTORY "${out_dir}")
      add_custom_command(
        OUTPUT ${outputs}
        COMMAND Tarvik::TarvikCompile "${source_path}"
        WORKING_DIRECTORY "${out_dir}"
        DEPENDS "${source_path}" Tarvik::TarvikCompile
        COMMENT "Compiling error catalogue ${source_name}"
        VERBATIM)
      add_custom_target(${owner} DEPENDS ${outputs})
    endif()
    add_dependencies(${target} ${owner})
    target_include_directories(${target} PRIVATE "${out_dir}")
    set_property(TARGET ${target} APPEND PROPERTY TARVIK_CATALOGUE_DIRS "${out_dir}")
  endforeach()
endfunction()

# Sets out_var to the files that TarvikCompile writes into dir for the source at path.
function(_tarvik_catalogue_outputs path dir out_var)
  file(STRINGS "${path}" lines REGEX "^\\.CLASS")
  set(outputs "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^\\.CLASS[ \t]*([^ \t\r\n]+)")
      string(SUBSTRING "${CMAKE_MATCH_1}" 0 39 class)
      string(TOUPPER "${class}" class)
      list(APPEND outputs "${dir}/${class}_err.h" "${dir}/${class}_err.tarvik")
    endif()
  endforeach()
  list(REMOVE_DUPLICATES outputs)
  if(NOT outputs)
    message(FATAL_ERROR "tarvik_add_catalogue: ${path} declares no class")
  endif()
  set(${out_var} "${outputs}" PARENT_SCOPE)
endfunction()
