# Installs Tarvik from its build tree into a fresh prefix, then configures the project
# beside this script against it with a lock that does not exist (refused, with the
# command that creates it), and builds a copy of it, again after each of these edits:
#   - a class line broken (".class"): the build fails with the checker's diagnostic;
#   - an error inserted in the middle of a class: the lock comparison fails the build;
#   - a class removed (from the source and from the lock): its stale files are removed
#     and the build fails at the #include of its header.
#
#   cmake -DTARVIK_BUILD_DIR=... -DWORK_DIR=... -DCC=... [-DSANITIZE=address,undefined]
#         -P run.cmake

foreach(var IN ITEMS TARVIK_BUILD_DIR WORK_DIR CC)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "run.cmake: ${var} is not set")
  endif()
endforeach()
set(here ${CMAKE_CURRENT_LIST_DIR})
set(prefix ${WORK_DIR}/prefix)
set(project ${WORK_DIR}/project)
set(build ${WORK_DIR}/build)
set(flags "")
if(SANITIZE)
  set(flags "-fsanitize=${SANITIZE}")
endif()

# Runs a command; sets <out_var> to its whole output and <status_var> to its status.
function(run_command out_var status_var)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  set(${out_var} "${out}" PARENT_SCOPE)
  set(${status_var} "${status}" PARENT_SCOPE)
endfunction()

# Builds the project; the build must succeed, or fail with every one of the texts given.
function(build_project what)
  run_command(out status ${CMAKE_COMMAND} --build ${build})
  if(NOT ARGN AND NOT status EQUAL 0)
    message(FATAL_ERROR "${what}: the build failed:\n${out}")
  endif()
  if(ARGN AND status EQUAL 0)
    message(FATAL_ERROR "${what}: the build passed:\n${out}")
  endif()
  foreach(text IN LISTS ARGN)
    string(FIND "${out}" "${text}" at)
    if(at EQUAL -1)
      message(FATAL_ERROR "${what}: the build output lacks \"${text}\":\n${out}")
    endif()
  endforeach()
endfunction()

# Replaces the first occurrence of from by to in the project's file name.
function(edit name from to)
  file(READ ${project}/${name} text)
  string(FIND "${text}" "${from}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "run.cmake: ${name} holds no \"${from}\"")
  endif()
  string(REPLACE "${from}" "${to}" text "${text}")
  file(WRITE ${project}/${name} "${text}")
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
run_command(out status ${CMAKE_COMMAND} --install ${TARVIK_BUILD_DIR} --prefix ${prefix})
if(NOT status EQUAL 0)
  message(FATAL_ERROR "install failed:\n${out}")
endif()
file(COPY ${here}/CMakeLists.txt ${here}/app.c ${here}/app.err DESTINATION ${project})
set(configure ${CMAKE_COMMAND} -S ${project} -B ${build} -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_C_COMPILER=${CC} -DCMAKE_C_FLAGS=${flags} -DCMAKE_BUILD_TYPE=Release)
run_command(out status ${configure})
string(REGEX REPLACE "[ \n]+" " " flat "${out}") # CMake wraps its messages
string(FIND "${flat}" "the code lock ${project}/app.lock does not exist; create it with: TarvikCheck --source ${project}/app.err --lock ${project}/app.lock --update-lock" at)
if(status EQUAL 0 OR at EQUAL -1)
  message(FATAL_ERROR "a missing lock: the configure should fail and say so:\n${out}")
endif()
file(COPY ${here}/app.lock DESTINATION ${project})
run_command(out status ${configure})
if(NOT status EQUAL 0)
  message(FATAL_ERROR "configure failed:\n${out}")
endif()
build_project("the project as it is")

edit(app.err ".CLASS http" ".class http")
build_project("a broken class line"
  "${project}/app.err:6: erreur : \".class\" n'est pas une ligne de classe")
edit(app.err ".class http" ".CLASS http")
build_project("the class line mended")

edit(app.err "Timeout" "Retry           \"Trying again\"\nTimeout")
build_project("an error inserted in the middle"
  "${project}/app.err:4: erreur : erreur NET Retry ajoutee au milieu de la classe"
  "${project}/app.err:5: erreur : code de NET Timeout change : 0x10002 dans le verrou, 0x10003 dans les sources")
edit(app.err "Retry           \"Trying again\"\n" "")
build_project("the insertion undone")

edit(app.err ".CLASS http 2\nNotFound        \"Page not found\"\n" "")
edit(app.lock "class HTTP 2\nerror HTTP NotFound 0x20001\n" "")
build_project("a class removed" "app.c:2:" "HTTP_err.h")
if(EXISTS ${build}/tarvik/app.err/HTTP_err.h OR EXISTS ${build}/tarvik/app.err/HTTP_err.tarvik)
  message(FATAL_ERROR "the files of the removed class HTTP are still there")
endif()
