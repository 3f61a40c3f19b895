# Run by CPack once the zip is made: builds the MSI installer with wixl from the folder CPack
# staged for the zip, so that both packages hold the same files, and signs it when a
# certificate is configured (packaging/sign.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/sign.cmake)
find_program(KESTA_WIXL wixl)
if(NOT KESTA_WIXL)
  message(FATAL_ERROR "wixl not found: install Debian's wixl package (scripts/lib/packages.sh)")
endif()
execute_process(
  COMMAND ${KESTA_WIXL} --arch x64 --output ${CPACK_KESTA_MSI} ${CPACK_KESTA_WXS}
  WORKING_DIRECTORY ${CPACK_TEMPORARY_DIRECTORY}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "wixl failed to build ${CPACK_KESTA_MSI}")
endif()
if(KESTA_SIGNING)
  kesta_sign(${CPACK_KESTA_MSI} "kesta_service ${CPACK_PACKAGE_VERSION}")
endif()
message(STATUS "- package: ${CPACK_KESTA_MSI} generated.")
