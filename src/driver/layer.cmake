kesta_layer(kesta_driver driver kesta_protocol kesta_core)
if(WIN32)
  # iphlpapi is imported statically as Windows programs do; bcrypt, for new adapter GUIDs, is
  # loaded when first needed.
  target_link_libraries(kesta_driver PUBLIC iphlpapi)
endif()
