# Writes the pkg-config file TARVIK_PC_OUTPUT from TARVIK_PC_TEMPLATE while installing
# (tarvik_install_pkgconfig runs it), for the prefix installed into:
#  - into the prefix the build was configured for (a system install, or a package staged
#    with DESTDIR): absolute paths, which pkg-config recognises as system directories and
#    leaves out of its output;
#  - into any other prefix (`cmake --install --prefix`, a tarball): paths relative to the
#    file's own directory, ${pcfiledir}, so that the tree may be moved;
#  - an absolute libdir or includedir as it is, whatever the prefix.

cmake_policy(VERSION 3.25)

# Normalised, without a trailing slash, so that /usr/ and /usr compare equal.
function(normal_path path out)
  cmake_path(SET path NORMALIZE "${path}")
  string(REGEX REPLACE "(.)/$" "\\1" path "${path}")
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

normal_path("${CMAKE_INSTALL_PREFIX}" install_prefix)
normal_path("${TARVIK_PC_CONFIGURED_PREFIX}" configured_prefix)
if(IS_ABSOLUTE "${TARVIK_PC_LIBDIR}" OR install_prefix STREQUAL configured_prefix)
  set(prefix "${install_prefix}")
else()
  # From <prefix>/<libdir>/pkgconfig back up to <prefix>: one ".." per directory.
  file(RELATIVE_PATH up "/root/${TARVIK_PC_LIBDIR}/pkgconfig" "/root")
  string(REGEX REPLACE "/$" "" up "${up}")
  set(prefix "\${pcfiledir}/${up}")
endif()

# A directory of the installation, absolute or under <base> (a variable of the file).
function(pc_dir dir base out)
  if(IS_ABSOLUTE "${dir}")
    normal_path("${dir}" dir)
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "\${${base}}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
pc_dir("${TARVIK_PC_LIBDIR}" exec_prefix libdir)
pc_dir("${TARVIK_PC_INCLUDEDIR}" prefix includedir)

configure_file("${TARVIK_PC_TEMPLATE}" "${TARVIK_PC_OUTPUT}" @ONLY)
