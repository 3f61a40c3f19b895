kesta_layer(kesta_service service kesta_protocol kesta_core)

if(WIN32)
  # The process entry joins every layer, so it cannot live in kesta_service itself, which the
  # tunnel layer builds on.
  file(GLOB kesta_service_main_sources CONFIGURE_DEPENDS
       ${CMAKE_CURRENT_SOURCE_DIR}/service/main*_win.cpp)
  add_executable(redevuva_service ${kesta_service_main_sources})
  target_link_libraries(redevuva_service PRIVATE kesta_tunnel kesta_pipe kesta_driver
                                                 kesta_service kesta_protocol kesta_core advapi32)
  target_link_options(redevuva_service PRIVATE -municode)
endif()
