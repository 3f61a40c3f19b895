# Run by CPack once the zip is made: CPack's zip holds the staged files in the order the file
# system lists them, with their owner and change times, so it is written anew from the same
# staged folder in a fixed order with the source's date (packaging/repack-zip).
find_program(KESTA_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT KESTA_PYTHON)
  message(FATAL_ERROR "python3 not found: install Debian's python3 package (scripts/lib/packages.sh)")
endif()
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "\\.zip$")
    execute_process(
      COMMAND ${KESTA_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/repack-zip ${package}
              ${CPACK_TEMPORARY_DIRECTORY} ${CPACK_PACKAGE_FILE_NAME} $ENV{SOURCE_DATE_EPOCH}
      COMMAND_ERROR_IS_FATAL ANY)
  endif()
endforeach()
