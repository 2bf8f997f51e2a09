# tovra_add_product_version(<target> [VERSION <major.minor.release.build>])
#
# Writes the product version into the program file itself, where GetProductVersion reads
# it back at run time: on ELF platforms as a note (owner "TOVRA", type 1, four 16-bit
# numbers), on Windows as a VERSIONINFO resource. Without VERSION the project's version is
# used. Missing components count as 0.
function(tovra_add_product_version target)
  cmake_parse_arguments(ARG "" "VERSION" "" ${ARGN})
  if(NOT ARG_VERSION)
    set(ARG_VERSION ${PROJECT_VERSION})
  endif()
  string(REPLACE "." ";" parts "${ARG_VERSION}")
  list(LENGTH parts count)
  while(count LESS 4)
    list(APPEND parts 0)
    math(EXPR count "${count} + 1")
  endwhile()
  list(GET parts 0 TOVRA_VERSION_MAJOR)
  list(GET parts 1 TOVRA_VERSION_MINOR)
  list(GET parts 2 TOVRA_VERSION_RELEASE)
  list(GET parts 3 TOVRA_VERSION_BUILD)
  foreach(part IN ITEMS ${TOVRA_VERSION_MAJOR} ${TOVRA_VERSION_MINOR} ${TOVRA_VERSION_RELEASE}
                        ${TOVRA_VERSION_BUILD})
    if(NOT part MATCHES "^[0-9]+$" OR part GREATER 65535)
      message(FATAL_ERROR "tovra_add_product_version: '${ARG_VERSION}' is not a version of four numbers 0..65535")
    endif()
  endforeach()

  set(out_dir ${CMAKE_CURRENT_BINARY_DIR}/product_version/${target})
  if(WIN32)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/templates/product_version.rc.in
                   ${out_dir}/product_version.rc @ONLY)
    target_sources(${target} PRIVATE ${out_dir}/product_version.rc)
  else()
    configure_file(${PROJECT_SOURCE_DIR}/cmake/templates/product_version_note.c.in
                   ${out_dir}/product_version_note.c @ONLY)
    target_sources(${target} PRIVATE ${out_dir}/product_version_note.c)
  endif()
endfunction()
