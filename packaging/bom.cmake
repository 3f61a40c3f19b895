# The bill of materials of the release packages (CycloneDX 1.5, JSON), written by
# packaging/prepare.cmake into the staged folder: the project with its version and commit, the
# two executables and the client DLL with their SHA-256, and every component linked into them
# statically, with the Debian package it came from, that package's version and the component's
# licence. The build tools (compiler, linker) are listed too, marked as not shipped
# (scope "excluded").

# Component name, a file of it the compiler links or runs, its licence (SPDX expression), and
# its role. The package and version are asked of dpkg, never written here.
set(kesta_bom_components
    "libstdc++|libstdc++.a|GPL-3.0-or-later WITH GCC-exception-3.1|library"
    "libgcc|libgcc.a|GPL-3.0-or-later WITH GCC-exception-3.1|library"
    "libssp|libssp.a|GPL-3.0-or-later WITH GCC-exception-3.1|library"
    "mingw-w64-crt|libmingwex.a|ZPL-2.1 AND LicenseRef-public-domain|library"
    "winpthreads|libwinpthread.a|MIT AND BSD-3-Clause|library"
    "compiler|@compiler|GPL-3.0-or-later|tool"
    "linker|@linker|GPL-3.0-or-later|tool")

# Percent-encodes what a package URL may not carry as is in a name or version.
function(kesta_purl_escape out text)
  string(REPLACE "%" "%25" text "${text}")
  string(REPLACE "+" "%2B" text "${text}")
  string(REPLACE ":" "%3A" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# Sets OUT to the Debian package that owns FILE and VERSION_OUT to its version.
function(kesta_debian_package out version_out file)
  get_filename_component(file "${file}" REALPATH)
  execute_process(COMMAND dpkg-query -S "${file}" OUTPUT_VARIABLE owner RESULT_VARIABLE status
                  ERROR_QUIET)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "bill of materials: no Debian package owns ${file}")
  endif()
  string(REGEX REPLACE ":.*" "" package "${owner}")
  string(REGEX REPLACE ",.*" "" package "${package}")
  execute_process(COMMAND dpkg-query -W -f=\${Version} ${package} OUTPUT_VARIABLE version
                  RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR version STREQUAL "")
    message(FATAL_ERROR "bill of materials: dpkg knows no version of ${package}")
  endif()
  set(${out} ${package} PARENT_SCOPE)
  set(${version_out} ${version} PARENT_SCOPE)
endfunction()

# Writes the bill of materials to PATH. EXECUTABLES are the staged executables; COMPILER is the
# C++ compiler; COMMIT and EPOCH (seconds) the source's commit and date.
function(kesta_write_bom path compiler commit epoch)
  set(executables ${ARGN})
  execute_process(COMMAND ${compiler} -print-prog-name=ld OUTPUT_VARIABLE linker
                  OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT IS_ABSOLUTE "${linker}")
    find_program(linker_path NAMES ${linker} NO_CACHE REQUIRED)
    set(linker ${linker_path})
  endif()
  find_program(compiler_path NAMES ${compiler} NO_CACHE REQUIRED)

  set(components "")
  set(linked "")
  foreach(entry IN LISTS kesta_bom_components)
    string(REPLACE "|" ";" fields "${entry}")
    list(GET fields 0 name)
    list(GET fields 1 file)
    list(GET fields 2 licence)
    list(GET fields 3 role)
    if(file STREQUAL "@compiler")
      set(file ${compiler_path})
    elseif(file STREQUAL "@linker")
      set(file ${linker})
    else()
      execute_process(COMMAND ${compiler} -print-file-name=${file} OUTPUT_VARIABLE file
                      OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()
    kesta_debian_package(package version "${file}")
    kesta_purl_escape(purl_name "${package}")
    kesta_purl_escape(purl_version "${version}")
    if(role STREQUAL "library")
      set(type library)
      set(scope required)
      set(linkage static)
      list(APPEND linked "\"${name}\"")
    else()
      set(type application)
      set(scope excluded)
      set(linkage "build tool")
    endif()
    string(APPEND components ",
    {
      \"type\": \"${type}\",
      \"bom-ref\": \"${name}\",
      \"name\": \"${name}\",
      \"version\": \"${version}\",
      \"scope\": \"${scope}\",
      \"licenses\": [{\"expression\": \"${licence}\"}],
      \"purl\": \"pkg:deb/debian/${purl_name}@${purl_version}?arch=amd64\",
      \"properties\": [
        {\"name\": \"kesta:debian-package\", \"value\": \"${package}\"},
        {\"name\": \"kesta:linkage\", \"value\": \"${linkage}\"}
      ]
    }")
  endforeach()
  list(JOIN linked ", " linked)

  set(programs "")
  set(dependencies "")
  foreach(exe IN LISTS executables)
    get_filename_component(name ${exe} NAME)
    file(SHA256 ${exe} hash)
    set(type application)
    if(name MATCHES "\\.dll$")
      set(type library)
    endif()
    string(APPEND programs "
    {
      \"type\": \"${type}\",
      \"bom-ref\": \"${name}\",
      \"name\": \"${name}\",
      \"version\": \"${CPACK_PACKAGE_VERSION}\",
      \"scope\": \"required\",
      \"licenses\": [{\"expression\": \"${CPACK_KESTA_LICENSE}\"}],
      \"hashes\": [{\"alg\": \"SHA-256\", \"content\": \"${hash}\"}]
    },")
    string(APPEND dependencies "
    {\"ref\": \"${name}\", \"dependsOn\": [${linked}]},")
  endforeach()
  string(REGEX REPLACE ",$" "" programs "${programs}")
  string(REGEX REPLACE ",$" "" dependencies "${dependencies}")

  # string(TIMESTAMP) tells the source's date rather than now when SOURCE_DATE_EPOCH is set.
  set(ENV{SOURCE_DATE_EPOCH} ${epoch})
  string(TIMESTAMP created "%Y-%m-%dT%H:%M:%SZ" UTC)
  file(WRITE ${path} "{
  \"bomFormat\": \"CycloneDX\",
  \"specVersion\": \"1.5\",
  \"version\": 1,
  \"metadata\": {
    \"timestamp\": \"${created}\",
    \"component\": {
      \"type\": \"application\",
      \"bom-ref\": \"kesta_service\",
      \"name\": \"kesta_service\",
      \"version\": \"${CPACK_PACKAGE_VERSION}\",
      \"licenses\": [{\"expression\": \"${CPACK_KESTA_LICENSE}\"}],
      \"properties\": [{\"name\": \"kesta:commit\", \"value\": \"${commit}\"}]
    }
  },
  \"components\": [${programs}${components}
  ],
  \"dependencies\": [${dependencies}
  ]
}
")
endfunction()
