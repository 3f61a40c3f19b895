# The process entry sits on top of every layer and composes them into the service executable.
if(WIN32)
  kesta_program(redevuva_service app kesta_tunnel kesta_pipe kesta_driver kesta_service
                kesta_protocol kesta_core advapi32)
  target_link_options(redevuva_service PRIVATE -municode)
endif()
