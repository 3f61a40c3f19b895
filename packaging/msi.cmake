# Run by CPack once the zip is made: builds the MSI installer with wixl from the folder CPack
# staged for the zip, so that both packages hold the same files, and signs it when a
# certificate is configured (packaging/sign.cmake).
#
# Left to itself wixl stamps the installer with the time of the build and a random package
# code, so two builds of one commit would differ. It runs here with the clock set to the
# source's date (faketime), and the package code is then set to one derived from the
# packaged files (msibuild): the same files give the same installer.
include(${CMAKE_CURRENT_LIST_DIR}/sign.cmake)
foreach(tool wixl msibuild msiinfo faketime)
  string(TOUPPER ${tool} var)
  find_program(KESTA_${var} ${tool})
  if(NOT KESTA_${var})
    message(FATAL_ERROR "${tool} not found: install the Debian packages of "
                        "scripts/lib/packages.sh")
  endif()
endforeach()

# The product code stays with the version (so that a rebuild of a version is that version, and
# a new version upgrades it); the package code changes with any packaged byte.
set(digest "")
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  file(SHA256 ${package} hash)
  string(APPEND digest ${hash})
endforeach()
string(UUID product_code NAMESPACE ${CPACK_KESTA_UPGRADE_CODE}
       NAME "product ${CPACK_PACKAGE_VERSION}" TYPE SHA1 UPPER)
string(UUID package_code NAMESPACE ${CPACK_KESTA_UPGRADE_CODE} NAME "package ${digest}"
       TYPE SHA1 UPPER)
# SOURCE_DATE_EPOCH and TZ=UTC come from packaging/prepare.cmake.
string(TIMESTAMP source_date "%Y-%m-%d %H:%M:%S" UTC)
set(at_source_date ${KESTA_FAKETIME} -f ${source_date})

execute_process(
  COMMAND ${at_source_date} ${KESTA_WIXL} --arch x64 -D ProductCode=${product_code}
          --output ${CPACK_KESTA_MSI} ${CPACK_KESTA_WXS}
  WORKING_DIRECTORY ${CPACK_TEMPORARY_DIRECTORY}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "wixl failed to build ${CPACK_KESTA_MSI}")
endif()
# msibuild sets the summary's subject, author, template and package code together: the first
# three are written back as wixl made them (quoted: the template, "x64;1033", holds a ';').
execute_process(COMMAND ${KESTA_MSIINFO} suminfo ${CPACK_KESTA_MSI} OUTPUT_VARIABLE summary
                COMMAND_ERROR_IS_FATAL ANY)
foreach(field Subject Author Template)
  string(REGEX MATCH "\n${field}: ([^\n]*)" line "\n${summary}")
  set(${field} "${CMAKE_MATCH_1}")
endforeach()
execute_process(
  COMMAND ${at_source_date} ${KESTA_MSIBUILD} ${CPACK_KESTA_MSI}
          -s "${Subject}" "${Author}" "${Template}" {${package_code}}
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "msibuild could not set the package code of ${CPACK_KESTA_MSI}")
endif()

if(KESTA_SIGNING)
  kesta_sign(${CPACK_KESTA_MSI} "kesta_service ${CPACK_PACKAGE_VERSION}")
endif()
message(STATUS "- package: ${CPACK_KESTA_MSI} generated.")

# The sums to publish beside the packages, in the form sha256sum -c reads.
set(sums "")
foreach(package IN LISTS CPACK_PACKAGE_FILES CPACK_KESTA_MSI)
  file(SHA256 ${package} hash)
  get_filename_component(name ${package} NAME)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE ${CPACK_KESTA_SUMS} "${sums}")
