# Run by the target windows-dist (cmake -P): stages both programs, signs them
# and the MSI when a code-signing key is given in the environment, builds
# the MSI and the portable zip. Two ways to sign:
#   a key in a file:
#     ZT_SIGN_PKCS12         PKCS#12 file with the certificate and its key
#     ZT_SIGN_PASSWORD       its password
#   a key on a token, HSM or cloud key store, through PKCS#11 (the key never
#   leaves it; osslsigncode reaches it through OpenSSL's pkcs11 engine):
#     ZT_SIGN_PKCS11_MODULE  the token's PKCS#11 module (a .so)
#     ZT_SIGN_PKCS11_KEY     the key's PKCS#11 URI (pkcs11:token=...;object=...)
#     ZT_SIGN_CERT           its certificate and the chain up to the root, PEM
#     ZT_SIGN_PIN            the token's PIN, unless the URI carries it
#     ZT_SIGN_PKCS11_ENGINE  the engine, when not OpenSSL's own pkcs11 engine
#   either way:
#     ZT_SIGN_TIMESTAMP_URL  a time-stamp server (RFC 3161), optional: a
#                            time-stamped signature stays valid after the
#                            certificate expires
# Neither keys nor passwords nor PINs ever belong in the repository.

set(stage ${DIST_DIR}/stage)
file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${stage})
file(COPY ${WINDOW_EXE} ${FLASH_EXE} DESTINATION ${stage})
file(COPY ${SOURCE_DIR}/resources/zt9047q.ico ${SOURCE_DIR}/README.md ${SOURCE_DIR}/LICENSE
     DESTINATION ${stage})

function(env_set name out)
  if(DEFINED ENV{${name}} AND NOT "$ENV{${name}}" STREQUAL "")
    set(${out} ON PARENT_SCOPE)
  else()
    set(${out} OFF PARENT_SCOPE)
  endif()
endfunction()
env_set(ZT_SIGN_PKCS12 by_file)
env_set(ZT_SIGN_PKCS11_MODULE has_module)
env_set(ZT_SIGN_PKCS11_KEY has_key)
env_set(ZT_SIGN_CERT has_cert)
set(by_token OFF)
if(has_module OR has_key OR has_cert)
  set(by_token ON)
endif()

set(sign OFF)
set(sign_args "")
set(sign_key "")
set(secret "") # the PKCS#12 password or the PIN
if(by_file AND by_token)
  message(FATAL_ERROR "ZT_SIGN_PKCS12 and ZT_SIGN_PKCS11_*: give one way to sign, not both")
elseif(by_file OR by_token)
  if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "a signing key is given but osslsigncode is not installed")
  endif()
  set(sign ON)
endif()
if(by_file)
  if(NOT EXISTS "$ENV{ZT_SIGN_PKCS12}")
    message(FATAL_ERROR "ZT_SIGN_PKCS12: no such file $ENV{ZT_SIGN_PKCS12}")
  endif()
  set(sign_args -pkcs12 "$ENV{ZT_SIGN_PKCS12}")
  set(secret "$ENV{ZT_SIGN_PASSWORD}")
  message(STATUS "Signing with $ENV{ZT_SIGN_PKCS12} (SHA-256)")
elseif(by_token)
  foreach(name ZT_SIGN_PKCS11_MODULE ZT_SIGN_PKCS11_KEY ZT_SIGN_CERT)
    if("$ENV{${name}}" STREQUAL "")
      message(FATAL_ERROR "signing on a token needs ZT_SIGN_PKCS11_MODULE, ZT_SIGN_PKCS11_KEY and ZT_SIGN_CERT; ${name} is not set")
    endif()
  endforeach()
  foreach(name ZT_SIGN_PKCS11_MODULE ZT_SIGN_CERT)
    if(NOT EXISTS "$ENV{${name}}")
      message(FATAL_ERROR "${name}: no such file $ENV{${name}}")
    endif()
  endforeach()
  if(NOT "$ENV{ZT_SIGN_PKCS11_KEY}" MATCHES "^pkcs11:")
    message(FATAL_ERROR "ZT_SIGN_PKCS11_KEY: not a PKCS#11 URI (pkcs11:token=...;object=...)")
  endif()
  set(engine "$ENV{ZT_SIGN_PKCS11_ENGINE}")
  if(engine STREQUAL "")
    # OpenSSL's engines folder, where Debian's libengine-pkcs11-openssl puts it.
    execute_process(COMMAND openssl version -e OUTPUT_VARIABLE engines_dir ERROR_QUIET)
    if(engines_dir MATCHES "ENGINESDIR: \"([^\"]*)\"")
      set(engine "${CMAKE_MATCH_1}/pkcs11.so")
    endif()
  endif()
  if(NOT EXISTS "${engine}")
    message(FATAL_ERROR "OpenSSL's pkcs11 engine (Debian's libengine-pkcs11-openssl) is not installed: no ${engine}")
  endif()
  set(sign_args -pkcs11engine "${engine}" -pkcs11module "$ENV{ZT_SIGN_PKCS11_MODULE}"
                -certs "$ENV{ZT_SIGN_CERT}")
  set(sign_key "$ENV{ZT_SIGN_PKCS11_KEY}")
  set(secret "$ENV{ZT_SIGN_PIN}")
  # The URI may carry the PIN: say which key without it.
  string(REGEX REPLACE "[;?]?pin-value=[^;?&]*" "" shown_key "$ENV{ZT_SIGN_PKCS11_KEY}")
  message(STATUS "Signing with ${shown_key} through $ENV{ZT_SIGN_PKCS11_MODULE} (SHA-256)")
else()
  message(STATUS "No signing key given (ZT_SIGN_PKCS12, or ZT_SIGN_PKCS11_*): the programs and the installer are NOT signed")
endif()
function(zt_sign file)
  if(NOT sign)
    return()
  endif()
  set(stamp "")
  if(NOT "$ENV{ZT_SIGN_TIMESTAMP_URL}" STREQUAL "")
    set(stamp -ts "$ENV{ZT_SIGN_TIMESTAMP_URL}")
  endif()
  set(pass_file "")
  set(pass "")
  if(by_file OR NOT secret STREQUAL "")
    # The password or PIN goes to osslsigncode in a file of ours alone, for
    # this call only: on its command line any user could read it in the
    # process list.
    string(RANDOM LENGTH 12 tag)
    set(pass_file ${DIST_DIR}/.pass-${tag})
    file(WRITE ${pass_file} "")
    file(CHMOD ${pass_file} PERMISSIONS OWNER_READ OWNER_WRITE)
    file(WRITE ${pass_file} "${secret}")
    set(pass -readpass ${pass_file})
  endif()
  set(common ${pass} -h sha256 -n "ZT9047Q Firmware Update" ${stamp} -in ${file} -out ${file}.signed)
  file(REMOVE ${file}.signed)
  if(sign_key STREQUAL "")
    execute_process(COMMAND ${OSSLSIGNCODE} sign ${sign_args} ${common}
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  else()
    # Quoted, the URI stays one argument: its ";" would split a list.
    execute_process(COMMAND ${OSSLSIGNCODE} sign ${sign_args} -key "${sign_key}" ${common}
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  endif()
  if(pass_file)
    file(REMOVE ${pass_file})
  endif()
  if(NOT rc EQUAL 0 OR NOT EXISTS ${file}.signed)
    file(REMOVE ${file}.signed)
    string(REGEX REPLACE "pin-value=[^;?&\n]*" "pin-value=..." out "${out}")
    message(FATAL_ERROR "signing ${file} failed:\n${out}")
  endif()
  file(RENAME ${file}.signed ${file})
endfunction()

get_filename_component(window_name ${WINDOW_EXE} NAME)
get_filename_component(flash_name ${FLASH_EXE} NAME)
zt_sign(${stage}/${window_name})
zt_sign(${stage}/${flash_name})

include(${CMAKE_CURRENT_LIST_DIR}/MakeMsi.cmake)
zt_sign(${MSI})

# The portable zip: both programs (signed like those in the MSI), the
# README and the licence, in one folder.
set(portable ${DIST_DIR}/ZT9047QUpdate-${VERSION})
file(REMOVE_RECURSE ${portable})
file(MAKE_DIRECTORY ${portable})
file(COPY ${stage}/${window_name} ${stage}/${flash_name} ${SOURCE_DIR}/README.md ${SOURCE_DIR}/LICENSE
     DESTINATION ${portable})
file(REMOVE ${ZIP})
get_filename_component(portable_name ${portable} NAME)
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip ${portable_name}
                WORKING_DIRECTORY ${DIST_DIR} RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the portable zip could not be made")
endif()

if(sign)
  message(STATUS "Signed: ${window_name}, ${flash_name}, the MSI")
else()
  message(STATUS "UNSIGNED: ${window_name}, ${flash_name}, the MSI (set ZT_SIGN_PKCS12 and ZT_SIGN_PASSWORD, or ZT_SIGN_PKCS11_MODULE, ZT_SIGN_PKCS11_KEY and ZT_SIGN_CERT, to sign)")
endif()
message(STATUS "Made ${MSI} and ${ZIP}")
