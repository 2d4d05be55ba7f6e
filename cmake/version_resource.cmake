# The product version that the version resources and the Windows Installer package carry.
# It defaults to the project's version; a build may override it, e.g. to make a package
# that upgrades an installed one.
set(HALCYRA_PRODUCT_VERSION ${PROJECT_VERSION} CACHE STRING "Product version of the executables and the package (a.b.c)")
if(NOT HALCYRA_PRODUCT_VERSION MATCHES "^[0-9]+\\.[0-9]+\\.[0-9]+$")
  message(FATAL_ERROR "HALCYRA_PRODUCT_VERSION must be three numbers a.b.c, not '${HALCYRA_PRODUCT_VERSION}'")
endif()

# halcyra_version_resource(<target> <version a.b.c> <description>)
# Links a version resource built from service/version.rc.in into <target>. The resource
# is compiled by windres directly, so the compiler's warning options never reach it.
function(halcyra_version_resource target version description)
  set(HALCYRA_RC_VERSION ${version}.0)
  string(REPLACE "." "," HALCYRA_RC_VERSION_COMMAS ${HALCYRA_RC_VERSION})
  set(HALCYRA_RC_DESCRIPTION ${description})
  get_target_property(HALCYRA_RC_NAME ${target} OUTPUT_NAME)
  if(NOT HALCYRA_RC_NAME)
    set(HALCYRA_RC_NAME ${target})
  endif()
  set(script ${CMAKE_CURRENT_BINARY_DIR}/${target}.version.rc)
  set(object ${CMAKE_CURRENT_BINARY_DIR}/${target}.version.res.o)
  configure_file(${PROJECT_SOURCE_DIR}/service/version.rc.in ${script} @ONLY)
  add_custom_command(
    OUTPUT ${object}
    COMMAND ${CMAKE_RC_COMPILER} --input ${script} --output ${object}
    DEPENDS ${script}
    VERBATIM)
  target_sources(${target} PRIVATE ${object})
endfunction()
