kesta_layer(kesta_driver driver kesta_protocol kesta_core)
if(WIN32)
  # iphlpapi is imported statically as Windows programs do; bcrypt seeds new adapter GUIDs.
  target_link_libraries(kesta_driver PUBLIC iphlpapi bcrypt)
endif()
