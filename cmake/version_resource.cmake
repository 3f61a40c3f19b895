# Gives a Windows executable a version resource: file and product version from project(),
# product name, company, description and original file name.
function(kesta_version_resource target description)
  set(KESTA_RC_TARGET ${target})
  set(KESTA_RC_DESCRIPTION "${description}")
  set(rc ${CMAKE_BINARY_DIR}/generated/${target}_version.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
