# Packages, made by cpack in the build directory:
#   cpack -G DEB   one Debian package per install component:
#                  libtarvik<major>  runtime      the shared library
#                  libtarvik-dev     development  headers, static library, CMake and
#                                                 pkg-config files, tarvik(3)
#                  tarvik-tools      tools        the programs and their manual pages
#   cpack -G TGZ   one tarball of the whole installation
# Configure for them as a distribution builds: -DCMAKE_INSTALL_PREFIX=/usr
# -DBUILD_SHARED_LIBS=ON (the "package" preset does).

set(tarvik_runtime_package libtarvik${PROJECT_VERSION_MAJOR})
set(tarvik_development_package libtarvik-dev)
set(tarvik_tools_package tarvik-tools)
set(tarvik_components development tools)
if(BUILD_SHARED_LIBS)
  list(PREPEND tarvik_components runtime)
endif()

# Every package carries the licence as its copyright file, in Debian's machine-readable
# form (the MIT licence is called Expat there), in share/doc/<package>/.
file(STRINGS ${PROJECT_SOURCE_DIR}/LICENSE tarvik_copyright REGEX "^Copyright ")
string(REGEX REPLACE "^Copyright \\([cC]\\) " "" tarvik_copyright "${tarvik_copyright}")
file(READ ${PROJECT_SOURCE_DIR}/LICENSE tarvik_license)
string(REGEX REPLACE "^.*Copyright [^\n]*\n\n" "" tarvik_license "${tarvik_license}")
string(REGEX REPLACE "\n$" "" tarvik_license "${tarvik_license}")
string(REGEX REPLACE "\n\n" "\n.\n" tarvik_license "${tarvik_license}")
string(REGEX REPLACE "\n" "\n " tarvik_license "${tarvik_license}")
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/package/copyright CONTENT [[
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Tarvik

Files: *
Copyright: @tarvik_copyright@
License: Expat
 @tarvik_license@
]] @ONLY)

# And a changelog, dated by the last change of the version's header (or by
# SOURCE_DATE_EPOCH, for reproducible builds).
set(tarvik_date_format "%a, %d %b %Y %H:%M:%S +0000")
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  string(TIMESTAMP tarvik_date "${tarvik_date_format}" UTC)
else()
  file(TIMESTAMP ${PROJECT_SOURCE_DIR}/src/tarvik.h tarvik_date "${tarvik_date_format}" UTC)
endif()
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/package/changelog CONTENT [[
tarvik (@PROJECT_VERSION@) unstable; urgency=medium

  * Release @PROJECT_VERSION@.

 -- @TARVIK_PACKAGE_CONTACT@  @tarvik_date@
]] @ONLY)

foreach(component IN LISTS tarvik_components)
  set(doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${tarvik_${component}_package})
  install(FILES ${PROJECT_BINARY_DIR}/package/copyright DESTINATION ${doc_dir} COMPONENT ${component})
  tarvik_install_gzipped(${PROJECT_BINARY_DIR}/package/changelog ${doc_dir} ${component})
endforeach()

set(CPACK_PACKAGE_NAME tarvik)
set(CPACK_PACKAGE_VENDOR "The Tarvik developers")
set(CPACK_PACKAGE_CONTACT "${TARVIK_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB TGZ)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${tarvik_components})

# The packages' descriptions, below the project's description as their synopsis.
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "\
The shared library that programs built with Tarvik load at run time:
thread-safe error reports and error texts, looked up by numeric code in
compiled message catalogues.")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "\
Headers, static library, CMake package and pkg-config file for building
programs that report errors by numeric code with Tarvik, and the tarvik(3)
manual page.")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "\
TarvikCompile, the catalogue compiler that tarvik_add_catalogue() runs;
errprobe, which sends one report from typed answers; TarvikCheck, which
shows what the library sees of a configuration.")
if(BUILD_SHARED_LIBS)
  set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
endif()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${tarvik_runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The library lands in a directory of the dynamic loader: libc's ldconfig trigger
# updates its cache. (CPack adds ldconfig calls to postinst and postrm as well.)
file(WRITE ${PROJECT_BINARY_DIR}/package/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/package/triggers)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME ${tarvik_development_package})
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
# tarvik_add_catalogue() runs the catalogue compiler.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_RECOMMENDS ${tarvik_tools_package})
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${tarvik_tools_package})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)

set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git" "/build/" "/out/")

include(CPack)
