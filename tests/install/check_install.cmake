# Run by ctest (see CMakeLists.txt) with -DSETTINGS=<file>: installs the build into a scratch
# prefix and checks what a user of the installed files meets. The scratch folder is removed when
# every check passed and kept for a look when one failed.
cmake_minimum_required(VERSION 3.25)
include(${SETTINGS})

# Runs a command; fails with its output unless it exits 0. The output lands in `out_var`.
function(run out_var)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err
                  TIMEOUT 120)
  if(NOT rc STREQUAL "0")
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "${command}: ${rc}\n${out}${err}")
  endif()
  set(${out_var} "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR}/empty)

run(ignored ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(file ${FILES})
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "not installed: ${file}")
  endif()
endforeach()

# The installed service unit starts the installed program.
if(EXISTS ${prefix}/lib/systemd/system/varlo-tokend.service)
  file(STRINGS ${prefix}/lib/systemd/system/varlo-tokend.service exec REGEX "^ExecStart=")
  if(NOT exec MATCHES "^ExecStart=${prefix}/bin/varlo-tokend ")
    message(FATAL_ERROR "the installed unit starts another program: ${exec}")
  endif()
endif()

# The installed host finds the installed module next to itself. With no local token service
# (an empty pipe folder), no PC/SC service and no registry settings there are no tokens.
run(list ${CMAKE_COMMAND} -E env VARLO_PIPE_DIR=${WORK_DIR}/empty
    PCSCLITE_CSOCK_NAME=${WORK_DIR}/empty/pcscd.comm
    VARLO_MACHINE_REGISTRY=${WORK_DIR}/empty/machine.reg
    VARLO_USER_REGISTRY=${WORK_DIR}/empty/user.reg
    ${prefix}/bin/varlo-host --json list)
string(JSON type ERROR_VARIABLE error TYPE "${list}")
if(NOT type STREQUAL "ARRAY" OR NOT list MATCHES "^\\[\\]\n?$")
  message(FATAL_ERROR "varlo-host --json list: not an empty list: ${list}")
endif()

# A host built from the installed header and pkg-config file loads the module the file names.
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
run(flags ${PKG_CONFIG} --cflags --libs varlo-module)
run(module ${PKG_CONFIG} --variable=module varlo-module)
separate_arguments(flags UNIX_COMMAND "${flags}")
string(STRIP "${module}" module)
run(ignored ${C_COMPILER} ${SANITIZE} ${DLOPEN_HOST_SOURCE} ${flags} -o ${WORK_DIR}/dlopen_host)
run(ignored ${WORK_DIR}/dlopen_host ${module})

# The installed p11-kit module file names the installed bridge, which loads the installed module
# (a sanitized bridge cannot be loaded by pkcs11-tool).
if(BRIDGE)
  file(STRINGS ${prefix}/${MODULE_FILE} named REGEX "^module:")
  if(NOT named STREQUAL "module: ${prefix}/${BRIDGE}")
    message(FATAL_ERROR "${MODULE_FILE} names another bridge: ${named}")
  endif()
  if(PKCS11_TOOL AND NOT SANITIZE)
    # Its exit code says only that there is no slot; C_Initialize succeeded when the library's
    # description is shown.
    execute_process(COMMAND ${CMAKE_COMMAND} -E env VARLO_PIPE_DIR=${WORK_DIR}/empty
                    PCSCLITE_CSOCK_NAME=${WORK_DIR}/empty/pcscd.comm
                    VARLO_MACHINE_REGISTRY=${WORK_DIR}/empty/machine.reg
                    VARLO_USER_REGISTRY=${WORK_DIR}/empty/user.reg
                    ${PKCS11_TOOL} --module ${prefix}/${BRIDGE} --show-info
                    OUTPUT_VARIABLE info ERROR_VARIABLE info TIMEOUT 120)
    if(NOT info MATCHES "Varlo DESFire tokens")
      message(FATAL_ERROR "pkcs11-tool --show-info with the installed bridge:\n${info}")
    endif()
  endif()
endif()

# The Debian package holds the same files under /usr and names what it needs.
if(DPKG_DEB)
  run(ignored ${CPACK} -G DEB -B ${WORK_DIR}/package --config ${BUILD_DIR}/CPackConfig.cmake)
  file(GLOB package ${WORK_DIR}/package/*.deb)
  run(contents ${DPKG_DEB} -c ${package})
  foreach(file ${FILES})
    string(FIND "${contents}" " ./usr/${file}\n" found)
    if(found EQUAL -1)
      message(FATAL_ERROR "not in ${package}: /usr/${file}\n${contents}")
    endif()
  endforeach()
  run(control ${DPKG_DEB} -f ${package} Depends)
  string(STRIP "${control}" control)
  string(REPLACE ", " ";" entries "${control}")
  set(names "")
  foreach(entry ${entries})
    string(REGEX REPLACE " .*" "" name "${entry}")
    list(APPEND names ${name})
  endforeach()
  foreach(depend ${DEPENDS})
    if(NOT depend IN_LIST names)
      message(FATAL_ERROR "${package} does not depend on ${depend}: ${control}")
    endif()
  endforeach()
endif()

file(REMOVE_RECURSE ${WORK_DIR})
