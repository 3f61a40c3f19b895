# Run by CPack once the files are staged and before the zip is made (the MSI is made from the
# same folder afterwards, packaging/msi.cmake): signs the executables when a certificate is
# configured, writes the bill of materials, and takes the time and the build machine out of
# what gets packed, so that two builds of one commit give the same zip byte for byte
# (packaging/zip.cmake writes it).
include(${CMAKE_CURRENT_LIST_DIR}/sign.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/bom.cmake)

set(staged ${CPACK_TEMPORARY_DIRECTORY})
set(source ${CPACK_KESTA_SOURCE_DIR})

# The source's date: SOURCE_DATE_EPOCH when the caller sets it, else the last commit's time.
execute_process(COMMAND git -C ${source} rev-parse HEAD OUTPUT_VARIABLE commit
                OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  set(commit unknown)
else()
  # A build of uncommitted changes says so: no commit reproduces it.
  execute_process(COMMAND git -C ${source} status --porcelain --untracked-files=no
                  OUTPUT_VARIABLE changes)
  if(changes)
    string(APPEND commit "-modified")
  endif()
endif()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(epoch $ENV{SOURCE_DATE_EPOCH})
elseif(NOT commit STREQUAL "unknown")
  execute_process(COMMAND git -C ${source} log -1 --format=%ct OUTPUT_VARIABLE epoch
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
else()
  message(FATAL_ERROR "not a git checkout: set SOURCE_DATE_EPOCH to the source's date")
endif()
# A zip cannot hold a time before 1980.
if(NOT epoch MATCHES "^[0-9]+$" OR epoch LESS 315532800)
  message(FATAL_ERROR "SOURCE_DATE_EPOCH must be a time in seconds after 1980, not '${epoch}'")
endif()

set(client_dll ${staged}/developer/bin/kesta_client.dll)
set(executables ${staged}/redevuva_service.exe ${staged}/kestactl.exe ${client_dll})
if(KESTA_SIGNING)
  kesta_sign(${staged}/redevuva_service.exe "kesta_service WireGuard tunnel service")
  kesta_sign(${staged}/kestactl.exe "kesta_service command-line client")
  # Application-control policies judge every module a process loads, the client's DLL too.
  kesta_sign(${client_dll} "kesta_service client library")
else()
  message(STATUS "not signing the packages: KESTA_SIGN_PKCS12 and KESTA_SIGN_PASSWORD_FILE "
                 "are not set")
endif()

kesta_write_bom(${staged}/${CPACK_KESTA_BOM} ${CPACK_KESTA_CXX_COMPILER} ${commit} ${epoch}
                ${executables})

# The later steps read the date from here (packaging/zip.cmake), and so do wixl and CMake's own
# time stamps. Every staged file and folder gets that date and the same modes whatever the
# umask: the MSI's cabinet keeps them, in local time, so that is UTC from here on.
set(ENV{SOURCE_DATE_EPOCH} ${epoch})
set(ENV{TZ} UTC)
execute_process(COMMAND chmod -R u+rwX,go+rX,go-w ${staged} COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND find ${staged} -exec touch -h -d @${epoch} {} +
                COMMAND_ERROR_IS_FATAL ANY)
