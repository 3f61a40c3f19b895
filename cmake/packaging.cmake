# The release packages, made by `cmake --build --preset windows --target package`:
# kesta_service-<version>-win64.zip by CPack, and kesta_service-<version>-x64.msi by wixl
# from the very files CPack staged for the zip (packaging/msi.cmake, run by CPack once the zip
# is made). wireguard.dll is not ours to ship; WIREGUARD-DLL.txt says where it comes from.
file(GLOB kesta_docs CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/*.md)

install(TARGETS redevuva_service kestactl RUNTIME DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/packaging/WIREGUARD-DLL.txt
        DESTINATION .)
install(FILES ${CMAKE_SOURCE_DIR}/LICENSE DESTINATION . RENAME LICENSE.txt)
install(FILES ${kesta_docs} DESTINATION docs)

# The installer's description of the same files: one <File> per document.
set(KESTA_MSI_DOCS "")
foreach(doc IN LISTS kesta_docs)
  get_filename_component(name ${doc} NAME)
  string(MAKE_C_IDENTIFIER "doc_${name}" id)
  string(APPEND KESTA_MSI_DOCS
         "              <File Id=\"${id}\" Name=\"${name}\" Source=\"docs/${name}\"/>\n")
endforeach()
configure_file(${CMAKE_SOURCE_DIR}/packaging/kesta_service.wxs.in
               ${CMAKE_BINARY_DIR}/packaging/kesta_service.wxs @ONLY)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME kesta_service)
set(CPACK_PACKAGE_VENDOR kesta_service)
set(CPACK_PACKAGE_FILE_NAME kesta_service-${PROJECT_VERSION}-win64)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
# The executables carry no debug information; their symbol tables go too.
set(CPACK_STRIP_FILES ON)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/packaging/msi.cmake)
set(CPACK_KESTA_WXS ${CMAKE_BINARY_DIR}/packaging/kesta_service.wxs)
set(CPACK_KESTA_MSI ${CMAKE_BINARY_DIR}/kesta_service-${PROJECT_VERSION}-x64.msi)
include(CPack)
