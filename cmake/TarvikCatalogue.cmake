# tarvik_add_catalogue(<target> <source>... [LOCK <lock file>] [CHECK ON|OFF])
#
# Compiles each error catalogue source with TarvikCompile at build time, in a build
# directory of its own, adds that directory to <target>'s include path and makes
# <target> depend on the generated files, so that editing a source rebuilds exactly
# what includes its headers. A custom target (add_custom_target) gets the compiled
# catalogues alone, without an include path: the way to build catalogues that are data
# only, such as the same classes in another language.
#
# Before anything is compiled, the build checks the sources together with
# "TarvikCheck --source" (CHECK ON, the default) and, when LOCK names a code lock, compares
# their codes with it (relative paths are taken from the current source directory). A
# check error fails the build with its diagnostics, in the FILE:LINE: form that editors
# read. CHECK OFF compiles without checking, and cannot go with LOCK. The lock must exist
# when the project is configured ("TarvikCheck --source ... --lock ... --update-lock"
# creates it).
#
# The directory of a source is <current binary dir>/tarvik/<source file name>. It
# belongs to that source alone: two sources of the same file name in one directory are
# refused. It holds <CLASS>_err.h and <CLASS>_err.tarvik for every class of the source;
# the compiled catalogues are what a configuration file must point at. When the source
# changes, the files of the classes it no longer declares are removed from it, so that
# an #include of a vanished class fails. The directories of a target are listed in its
# property TARVIK_CATALOGUE_DIRS.
#
# The generated files are named after the classes declared inside a source, so its
# .CLASS lines are read at configure time, by the compiler's rules (the first word after
# ".CLASS" and its blanks, a-z upper-cased), and the project is configured again
# whenever a source changes. Several targets may share a source: it is compiled once.
#
# The programs that run are the targets Tarvik::TarvikCompile and Tarvik::TarvikCheck, or
# those that the cache variables TARVIK_COMPILE_EXECUTABLE and TARVIK_CHECK_EXECUTABLE
# name. When cross-compiling, the targets are built for the other machine: set the
# variables to programs built for this one.
set(TARVIK_COMPILE_EXECUTABLE "" CACHE FILEPATH
    "TarvikCompile that tarvik_add_catalogue runs (empty: Tarvik::TarvikCompile)")
set(TARVIK_CHECK_EXECUTABLE "" CACHE FILEPATH
    "TarvikCheck that tarvik_add_catalogue runs (empty: Tarvik::TarvikCheck)")

function(tarvik_add_catalogue target)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "" "LOCK;CHECK" "")
  if(NOT TARGET ${target})
    message(FATAL_ERROR "tarvik_add_catalogue: ${target} is not a target")
  endif()
  if(NOT ARG_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "tarvik_add_catalogue: no catalogue source given for ${target}")
  endif()
  if(ARG_KEYWORDS_MISSING_VALUES)
    message(FATAL_ERROR "tarvik_add_catalogue: ${ARG_KEYWORDS_MISSING_VALUES} without a value")
  endif()
  if(NOT DEFINED ARG_CHECK)
    set(ARG_CHECK ON)
  endif()
  if(DEFINED ARG_LOCK AND NOT ARG_CHECK)
    message(FATAL_ERROR "tarvik_add_catalogue: LOCK needs CHECK ON (${target})")
  endif()

  set(paths "")
  foreach(source IN LISTS ARG_UNPARSED_ARGUMENTS)
    get_filename_component(path "${source}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    list(APPEND paths "${path}")
  endforeach()

  file(MAKE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/tarvik")
  set(checker "")
  if(ARG_CHECK)
    _tarvik_catalogue_checker("${paths}" "${ARG_LOCK}" checker)
  endif()

  foreach(path IN LISTS paths)
    get_filename_component(source_name "${path}" NAME)
    set(out_dir "${CMAKE_CURRENT_BINARY_DIR}/tarvik/${source_name}")
    get_property(claimed GLOBAL PROPERTY "TARVIK_CATALOGUE_SOURCE ${out_dir}")
    if(claimed AND NOT claimed STREQUAL path)
      message(FATAL_ERROR "tarvik_add_catalogue: ${path} and ${claimed} would share the "
                          "directory ${out_dir}; give them different file names")
    endif()
    set_property(GLOBAL PROPERTY "TARVIK_CATALOGUE_SOURCE ${out_dir}" "${path}")

    # One target owns the generated files of a directory, whoever asks for them.
    string(MD5 dir_hash "${out_dir}")
    string(SUBSTRING "${dir_hash}" 0 8 dir_hash)
    string(MAKE_C_IDENTIFIER "tarvik_catalogue_${source_name}_${dir_hash}" owner)
    if(NOT TARGET ${owner})
      _tarvik_catalogue_program(TarvikCompile TARVIK_COMPILE_EXECUTABLE compiler)
      _tarvik_catalogue_outputs("${path}" "${out_dir}" outputs)
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${path}")
      file(MAKE_DIRECTORY "${out_dir}")
      _tarvik_catalogue_remove_stale("${out_dir}" "${outputs}")
      # Touched only after a successful run, so that a failed one is run again.
      set(compiled "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/tarvik/${owner}.compiled")
      add_custom_command(
        OUTPUT ${outputs} "${compiled}"
        COMMAND ${compiler} "${path}"
        COMMAND ${CMAKE_COMMAND} -E touch "${compiled}"
        WORKING_DIRECTORY "${out_dir}"
        DEPENDS "${path}" ${compiler}
        COMMENT "Compiling error catalogue ${source_name}"
        VERBATIM)
      add_custom_target(${owner} DEPENDS ${outputs} "${compiled}")
    endif()
    if(checker)
      add_dependencies(${owner} ${checker})
    endif()
    add_dependencies(${target} ${owner})
    get_target_property(type ${target} TYPE)
    if(NOT type STREQUAL "UTILITY")
      target_include_directories(${target} PRIVATE "${out_dir}")
    endif()
    set_property(TARGET ${target} APPEND PROPERTY TARVIK_CATALOGUE_DIRS "${out_dir}")
  endforeach()
endfunction()

# Sets out_var to a target that checks the sources at paths (and compares them with the
# lock, when one is given) and fails when the check does; one per set, in this directory.
function(_tarvik_catalogue_checker paths lock out_var)
  set(args --source ${paths})
  set(depends ${paths})
  set(names "")
  foreach(path IN LISTS paths)
    get_filename_component(name "${path}" NAME)
    list(APPEND names "${name}")
  endforeach()
  if(lock)
    get_filename_component(lock "${lock}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    if(NOT EXISTS "${lock}")
      list(JOIN paths " " shown)
      message(FATAL_ERROR "tarvik_add_catalogue: the code lock ${lock} does not exist; "
                          "create it with: TarvikCheck --source ${shown} --lock ${lock} "
                          "--update-lock")
    endif()
    list(APPEND args --lock "${lock}")
    list(APPEND depends "${lock}")
  endif()
  string(MD5 key "${CMAKE_CURRENT_BINARY_DIR};${args}")
  string(SUBSTRING "${key}" 0 8 key)
  list(GET names 0 first)
  string(MAKE_C_IDENTIFIER "tarvik_check_${first}_${key}" checker)
  if(NOT TARGET ${checker})
    _tarvik_catalogue_program(TarvikCheck TARVIK_CHECK_EXECUTABLE program)
    # Touched only after a check without errors, so that a failed one is run again.
    set(checked "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/tarvik/${checker}.checked")
    list(JOIN names ", " shown)
    add_custom_command(
      OUTPUT "${checked}"
      COMMAND ${program} ${args}
      COMMAND ${CMAKE_COMMAND} -E touch "${checked}"
      DEPENDS ${depends} ${program}
      COMMENT "Checking error catalogue ${shown}"
      VERBATIM)
    add_custom_target(${checker} DEPENDS "${checked}")
  endif()
  set(${out_var} ${checker} PARENT_SCOPE)
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

# Removes from dir the generated files that are not among outputs: those of classes
# that the source no longer declares.
function(_tarvik_catalogue_remove_stale dir outputs)
  file(GLOB generated LIST_DIRECTORIES false "${dir}/*_err.h" "${dir}/*_err.tarvik")
  foreach(file IN LISTS generated)
    if(NOT file IN_LIST outputs)
      file(REMOVE "${file}")
    endif()
  endforeach()
endfunction()

# Sets out_var to the program that the build runs for Tarvik::<name>: the one that the
# cache variable named by variable gives, or the target; stops with what to do when
# neither can run here.
function(_tarvik_catalogue_program name variable out_var)
  if(${variable})
    set(${out_var} "${${variable}}" PARENT_SCOPE)
  elseif(NOT TARGET Tarvik::${name})
    message(FATAL_ERROR "tarvik_add_catalogue: no ${name}: install Tarvik's programs "
                        "(package tarvik-tools) or set ${variable}")
  elseif(CMAKE_CROSSCOMPILING)
    message(FATAL_ERROR "tarvik_add_catalogue: cross-compiling, Tarvik::${name} cannot run "
                        "here: set ${variable} to a ${name} built for this machine")
  else()
    set(${out_var} Tarvik::${name} PARENT_SCOPE)
  endif()
endfunction()
