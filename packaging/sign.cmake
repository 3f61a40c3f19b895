# Authenticode signing of the release files with osslsigncode, included by the CPack scripts.
#
# The certificate comes from the environment of the package step when it names one there
# (KESTA_SIGN_PKCS12, KESTA_SIGN_PASSWORD_FILE, KESTA_SIGN_TIMESTAMP_URL; set but empty means
# "not set"), otherwise from the cache of the configured build (packaging.cmake).
#
# KESTA_SIGN_ATTACH_DIR (environment only) names instead a folder of signatures taken from a
# published release (osslsigncode extract-signature, one FILE.p7 per signed file): they are
# attached to this build's files rather than made, which reproduces the signed release byte
# for byte when this build is the same (scripts/check-reproducible).
foreach(var KESTA_SIGN_PKCS12 KESTA_SIGN_PASSWORD_FILE KESTA_SIGN_TIMESTAMP_URL)
  if(DEFINED ENV{${var}})
    set(${var} "$ENV{${var}}")
  else()
    set(${var} "${CPACK_${var}}")
  endif()
endforeach()

set(KESTA_SIGN_ATTACH_DIR "$ENV{KESTA_SIGN_ATTACH_DIR}")
if(KESTA_SIGN_ATTACH_DIR)
  set(KESTA_SIGNING ON)
elseif(KESTA_SIGN_PKCS12 OR KESTA_SIGN_PASSWORD_FILE)
  if(NOT KESTA_SIGN_PKCS12 OR NOT KESTA_SIGN_PASSWORD_FILE)
    message(FATAL_ERROR "signing needs both KESTA_SIGN_PKCS12 (the PKCS#12 file) and "
                        "KESTA_SIGN_PASSWORD_FILE (a file holding its password)")
  endif()
  foreach(file IN ITEMS "${KESTA_SIGN_PKCS12}" "${KESTA_SIGN_PASSWORD_FILE}")
    if(NOT EXISTS "${file}")
      message(FATAL_ERROR "signing: ${file} does not exist")
    endif()
  endforeach()
  set(KESTA_SIGNING ON)
else()
  set(KESTA_SIGNING OFF)
endif()
if(KESTA_SIGNING)
  find_program(KESTA_OSSLSIGNCODE osslsigncode)
  if(NOT KESTA_OSSLSIGNCODE)
    message(FATAL_ERROR "osslsigncode not found: install Debian's osslsigncode package "
                        "(scripts/lib/packages.sh)")
  endif()
endif()

# Signs FILE in place (SHA-256; with an RFC 3161 time stamp when a URL is configured) under
# the description DESCRIPTION, which Windows shows when the file asks for elevation.
function(kesta_sign file description)
  get_filename_component(name ${file} NAME)
  if(KESTA_SIGN_ATTACH_DIR)
    # osslsigncode also verifies the attached signature, and fails where this machine does not
    # trust its authority: what counts is whether the result equals the published file.
    execute_process(
      COMMAND ${KESTA_OSSLSIGNCODE} attach-signature -sigin ${KESTA_SIGN_ATTACH_DIR}/${name}.p7
              -in ${file} -out ${file}.signed
      OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(NOT EXISTS ${file}.signed)
      message(FATAL_ERROR "osslsigncode could not attach a signature to ${file}:\n${output}")
    endif()
    file(RENAME ${file}.signed ${file})
    message(STATUS "attached the signature of ${KESTA_SIGN_ATTACH_DIR}/${name}.p7")
    return()
  endif()
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
  if(KESTA_SIGN_TIMESTAMP_URL)
    message(STATUS "signed ${name}, time-stamped by ${KESTA_SIGN_TIMESTAMP_URL}")
  else()
    message(STATUS "signed ${name}")
  endif()
endfunction()
