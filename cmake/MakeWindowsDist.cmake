# Run by the target windows-dist (cmake -P): stages both programs, signs them
# and the MSI when a code-signing certificate is given in the environment,
# builds the MSI and the portable zip.
#   ZT_SIGN_PKCS12         PKCS#12 file with the certificate and its key
#   ZT_SIGN_PASSWORD       its password
#   ZT_SIGN_TIMESTAMP_URL  a time-stamp server (RFC 3161), optional
# Neither the certificate nor its password ever belong in the repository.

set(stage ${DIST_DIR}/stage)
file(REMOVE_RECURSE ${stage})
file(MAKE_DIRECTORY ${stage})
file(COPY ${WINDOW_EXE} ${FLASH_EXE} DESTINATION ${stage})
file(COPY ${SOURCE_DIR}/resources/zt9047q.ico DESTINATION ${stage})

set(sign OFF)
if(DEFINED ENV{ZT_SIGN_PKCS12} AND NOT "$ENV{ZT_SIGN_PKCS12}" STREQUAL "")
  if(NOT OSSLSIGNCODE)
    message(FATAL_ERROR "ZT_SIGN_PKCS12 is set but osslsigncode is not installed")
  endif()
  if(NOT EXISTS "$ENV{ZT_SIGN_PKCS12}")
    message(FATAL_ERROR "ZT_SIGN_PKCS12: no such file $ENV{ZT_SIGN_PKCS12}")
  endif()
  set(sign ON)
  # The password goes to osslsigncode in a file, not on its command line,
  # where any user could read it in the process list.
  string(RANDOM LENGTH 12 tag)
  set(pass_file ${DIST_DIR}/.pass-${tag})
  file(WRITE ${pass_file} "")
  file(CHMOD ${pass_file} PERMISSIONS OWNER_READ OWNER_WRITE)
  file(WRITE ${pass_file} "$ENV{ZT_SIGN_PASSWORD}")
  message(STATUS "Signing with $ENV{ZT_SIGN_PKCS12} (SHA-256)")
else()
  message(STATUS "No ZT_SIGN_PKCS12 given: the programs and the installer are NOT signed")
endif()

function(zt_sign file)
  if(NOT sign)
    return()
  endif()
  set(stamp "")
  if(NOT "$ENV{ZT_SIGN_TIMESTAMP_URL}" STREQUAL "")
    set(stamp -ts "$ENV{ZT_SIGN_TIMESTAMP_URL}")
  endif()
  file(REMOVE ${file}.signed)
  execute_process(
    COMMAND ${OSSLSIGNCODE} sign -pkcs12 "$ENV{ZT_SIGN_PKCS12}" -readpass ${pass_file}
            -h sha256 -n "ZT9047Q Firmware Update" ${stamp} -in ${file} -out ${file}.signed
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    file(REMOVE ${pass_file})
    message(FATAL_ERROR "signing ${file} failed:\n${out}")
  endif()
  file(RENAME ${file}.signed ${file})
endfunction()

get_filename_component(window_name ${WINDOW_EXE} NAME)
get_filename_component(flash_name ${FLASH_EXE} NAME)
zt_sign(${stage}/${window_name})
zt_sign(${stage}/${flash_name})

if(NOT WIXL)
  message(FATAL_ERROR "wixl (Debian's msitools) is needed for the installer")
endif()
# wixl finds the files by paths relative to where it runs.
execute_process(
  COMMAND ${WIXL} -a x64 -D Version=${VERSION} -D StageDir=stage -D IconFile=stage/zt9047q.ico
          -o ${MSI} ${SOURCE_DIR}/installer/zt9047q.wxs
  WORKING_DIRECTORY ${DIST_DIR}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT EXISTS ${MSI})
  message(FATAL_ERROR "wixl failed:\n${out}")
endif()
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
  file(REMOVE ${pass_file})
  message(STATUS "Signed: ${window_name}, ${flash_name}, the MSI")
else()
  message(STATUS "UNSIGNED: ${window_name}, ${flash_name}, the MSI (set ZT_SIGN_PKCS12 and ZT_SIGN_PASSWORD to sign)")
endif()
message(STATUS "Made ${MSI} and ${ZIP}")
