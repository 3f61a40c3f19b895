kesta_layer(kesta_pipe pipe kesta_service kesta_core)
if(WIN32)
  # advapi32 turns the pipe's SDDL string into a security descriptor.
  target_link_libraries(kesta_pipe PUBLIC advapi32)
endif()
