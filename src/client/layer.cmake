# The client library over the protocol: a layer for the project's own tools and tests, and for
# client applications kesta_client.dll (exporting only the kesta_ functions of
# include/kesta/client.h) with its import library kesta_client.lib, and the static library
# libkesta_client_static.a, which carries the protocol and core code it needs, for mingw-w64.
kesta_layer(kesta_client client kesta_protocol kesta_core kesta_version)
target_include_directories(kesta_client PUBLIC ${CMAKE_SOURCE_DIR}/include)
if(WIN32)
  # advapi32 asks the service control manager which process runs the service.
  target_link_libraries(kesta_client PUBLIC advapi32)
  # The layer is internal; libkesta_client_static.a is the static library a client links.
  set_target_properties(kesta_client PROPERTIES OUTPUT_NAME kesta_client_layer)

  add_library(kesta_client_dll SHARED ${CMAKE_CURRENT_SOURCE_DIR}/client/kesta_client.def
                                      $<TARGET_OBJECTS:kesta_client>)
  target_link_libraries(kesta_client_dll PRIVATE kesta_protocol kesta_core advapi32)
  target_include_directories(kesta_client_dll INTERFACE ${CMAKE_SOURCE_DIR}/include)
  set_target_properties(kesta_client_dll PROPERTIES OUTPUT_NAME kesta_client PREFIX ""
                                                    IMPORT_PREFIX "" IMPORT_SUFFIX ".lib")

  add_library(kesta_client_static STATIC $<TARGET_OBJECTS:kesta_client>
                                         $<TARGET_OBJECTS:kesta_protocol>
                                         $<TARGET_OBJECTS:kesta_core>)

  # examples/connect.c, compiled as C against the DLL.
  enable_language(C)
  add_executable(connect_example ${CMAKE_SOURCE_DIR}/examples/connect.c)
  target_link_libraries(connect_example PRIVATE kesta_client_dll)
  set_target_properties(connect_example PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON
                                                   C_EXTENSIONS OFF)
  target_compile_options(connect_example PRIVATE -Wall -Wextra -Werror -pedantic)
  # The same over the static library, linked as a C++ program: the library needs nothing else.
  add_executable(connect_example_static ${CMAKE_SOURCE_DIR}/examples/connect.c)
  target_include_directories(connect_example_static PRIVATE ${CMAKE_SOURCE_DIR}/include)
  target_link_libraries(connect_example_static PRIVATE kesta_client_static advapi32)
  set_target_properties(connect_example_static PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON
                                                          C_EXTENSIONS OFF LINKER_LANGUAGE CXX)
  target_compile_options(connect_example_static PRIVATE -Wall -Wextra -Werror -pedantic)

  # The header stays C89: a translation unit of it alone, compiled as such with every build.
  file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/client_header_c89.c
       CONTENT "#include \"kesta/client.h\"
int kesta_header_size(void);
int kesta_header_size(void) { return (int)sizeof(kesta_config); }
")
  add_library(kesta_client_header_c89 OBJECT ${CMAKE_CURRENT_BINARY_DIR}/client_header_c89.c)
  target_include_directories(kesta_client_header_c89 PRIVATE ${CMAKE_SOURCE_DIR}/include)
  set_target_properties(kesta_client_header_c89 PROPERTIES C_STANDARD 90 C_STANDARD_REQUIRED ON
                                                           C_EXTENSIONS OFF)
  target_compile_options(kesta_client_header_c89 PRIVATE -Wall -Wextra -Werror -pedantic)
endif()
