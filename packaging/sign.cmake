# Authenticode signing of the release files with osslsigncode, included by the CPack scripts.
#
# The certificate comes from the environment of the package step when it names one there
# (KESTA_SIGN_PKCS12, KESTA_SIGN_PASSWORD_FILE, KESTA_SIGN_TIMESTAMP_URL; set but empty means
# "not set"), otherwise from the cache of the configured build (packaging.cmake).
foreach(var KESTA_SIGN_PKCS12 KESTA_SIGN_PASSWORD_FILE KESTA_SIGN_TIMESTAMP_URL)
  if(DEFINED ENV{${var}})
    set(${var} "$ENV{${var}}")
  else()
    set(${var} "${CPACK_${var}}")
  endif()
endforeach()

if(KESTA_SIGN_PKCS12 OR KESTA_SIGN_PASSWORD_FILE)
  if(NOT KESTA_SIGN_PKCS12 OR NOT KESTA_SIGN_PASSWORD_FILE)
    message(FATAL_ERROR "signing needs both KESTA_SIGN_PKCS12 (the PKCS#12 file) and "
                        "KESTA_SIGN_PASSWORD_FILE (a file holding its password)")
  endif()
  foreach(file IN ITEMS "${KESTA_SIGN_PKCS12}" "${KESTA_SIGN_PASSWORD_FILE}")
    if(NOT EXISTS "${file}")
      message(FATAL_ERROR "signing: ${file} does not exist")
    endif()
  endforeach()
  find_program(KESTA_OSSLSIGNCODE osslsigncode)
  if(NOT KESTA_OSSLSIGNCODE)
    message(FATAL_ERROR "osslsigncode not found: install Debian's osslsigncode package "
                        "(scripts/lib/packages.sh)")
  endif()
  set(KESTA_SIGNING ON)
else()
  set(KESTA_SIGNING OFF)
endif()

# Signs FILE in place (SHA-256; with an RFC 3161 time stamp when a URL is configured) under
# the description DESCRIPTION, which Windows shows when the file asks for elevation.
function(kesta_sign file description)
  set(timestamp)
  if(KESTA_SIGN_TIMESTAMP_URL)
    set(timestamp -ts "${KESTA_SIGN_TIMESTAMP_URL}")
  endif()
  execute_process(
    COMMAND ${KESTA_OSSLSIGNCODE} sign -pkcs12 ${KESTA_SIGN_PKCS12}
            -readpass ${KESTA_SIGN_PASSWORD_FILE} -h sha256 -n ${description} ${timestamp}
            -in ${file} -out ${file}.signed
    OUTPUT_VARIABLE output ERROR_VARIABLE output RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    file(REMOVE ${file}.signed)
    message(FATAL_ERROR "osslsigncode could not sign ${file}:\n${output}")
  endif()
  file(RENAME ${file}.signed ${file})
  get_filename_component(name ${file} NAME)
  if(KESTA_SIGN_TIMESTAMP_URL)
    message(STATUS "signed ${name}, time-stamped by ${KESTA_SIGN_TIMESTAMP_URL}")
  else()
    message(STATUS "signed ${name}")
  endif()
endfunction()
