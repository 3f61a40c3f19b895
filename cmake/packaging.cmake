# The release packages, made by `cmake --build --preset windows --target package`:
# kesta_service-<version>-win64.zip by CPack, and kesta_service-<version>-x64.msi by wixl
# from the very files CPack staged for the zip (packaging/msi.cmake, run by CPack once the zip
# is made), with kesta_service-<version>-SHA256SUMS. Before the zip is made,
# packaging/prepare.cmake signs the executables, adds the bill of materials and fixes the
# staged files' dates. wireguard.dll is not ours to ship; WIREGUARD-DLL.txt says where it
# comes from.
file(GLOB kesta_docs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)

install(TARGETS redevuva_service kestactl RUNTIME DESTINATION .)
# What a client application's developer needs (docs/CLIENT.md), in a folder of its own.
install(TARGETS kesta_client_dll RUNTIME DESTINATION developer/bin ARCHIVE DESTINATION developer/lib)
install(TARGETS kesta_client_static ARCHIVE DESTINATION developer/lib)
install(FILES ${CMAKE_SOURCE_DIR}/include/kesta/client.h DESTINATION developer/include/kesta)
install(FILES ${CMAKE_SOURCE_DIR}/examples/connect.c DESTINATION developer/examples)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/packaging/WIREGUARD-DLL.txt
        DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
install(FILES ${kesta_docs} DESTINATION docs)

# The bill of materials, written into the staged folder by packaging/prepare.cmake.
set(KESTA_BOM_NAME kesta_service.cdx.json)

# The installer's description of the same files: one <File> per document.
set(KESTA_MSI_DOCS "")
foreach(doc IN LISTS kesta_docs)
  get_filename_component(name ${doc} NAME)
  string(MAKE_C_IDENTIFIER "doc_${name}" id)
  string(APPEND KESTA_MSI_DOCS
         "              <File Id=\"${id}\" Name=\"${name}\" Source=\"docs/${name}\"/>\n")
endforeach()
# Never changes: Windows Installer recognises every version of kesta_service by it.
set(KESTA_MSI_UPGRADE_CODE 527f1aba-b925-4b44-bda7-527cef3379e1)
configure_file(${CMAKE_SOURCE_DIR}/packaging/kesta_service.wxs.in
               ${CMAKE_BINARY_DIR}/packaging/kesta_service.wxs @ONLY)

# Signing (packaging/sign.cmake): a PKCS#12 file, a file holding its password and, for an
# RFC 3161 time stamp, the time-stamping authority's URL. Taken from the environment when the
# build is configured, or from -D; the environment of the package step overrides them.
set(KESTA_SIGN_PKCS12 "$ENV{KESTA_SIGN_PKCS12}" CACHE FILEPATH
    "PKCS#12 file whose certificate signs the release packages")
set(KESTA_SIGN_PASSWORD_FILE "$ENV{KESTA_SIGN_PASSWORD_FILE}" CACHE FILEPATH
    "File holding the password of KESTA_SIGN_PKCS12")
set(KESTA_SIGN_TIMESTAMP_URL "$ENV{KESTA_SIGN_TIMESTAMP_URL}" CACHE STRING
    "URL of an RFC 3161 time-stamping authority for the signatures")
set(CPACK_KESTA_SIGN_PKCS12 ${KESTA_SIGN_PKCS12})
set(CPACK_KESTA_SIGN_PASSWORD_FILE ${KESTA_SIGN_PASSWORD_FILE})
set(CPACK_KESTA_SIGN_TIMESTAMP_URL ${KESTA_SIGN_TIMESTAMP_URL})

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME kesta_service)
set(CPACK_PACKAGE_VENDOR kesta_service)
set(CPACK_PACKAGE_FILE_NAME kesta_service-${PROJECT_VERSION}-win64)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
# The release build links the executables stripped (-s); CPack's strip would add nothing but
# the time of packing to their PE headers.
set(CPACK_STRIP_FILES OFF)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/packaging/prepare.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/packaging/zip.cmake
                             ${CMAKE_SOURCE_DIR}/packaging/msi.cmake)
set(CPACK_KESTA_SOURCE_DIR ${CMAKE_SOURCE_DIR})
set(CPACK_KESTA_CXX_COMPILER ${CMAKE_CXX_COMPILER})
set(CPACK_KESTA_BOM ${KESTA_BOM_NAME})
set(CPACK_KESTA_LICENSE MIT)
set(CPACK_KESTA_UPGRADE_CODE ${KESTA_MSI_UPGRADE_CODE})
set(CPACK_KESTA_WXS ${CMAKE_BINARY_DIR}/packaging/kesta_service.wxs)
set(CPACK_KESTA_MSI ${CMAKE_BINARY_DIR}/kesta_service-${PROJECT_VERSION}-x64.msi)
set(CPACK_KESTA_SUMS ${CMAKE_BINARY_DIR}/kesta_service-${PROJECT_VERSION}-SHA256SUMS)
include(CPack)
