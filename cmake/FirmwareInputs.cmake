# The packaged firmware image and its version: the two inputs everything else
# follows from (the version rule's constant, the texts, the Windows version
# resources, the installer, the Debian package). Checked here, at configure
# time, so that a bad release input stops the build before anything is made.
#
#   ZT_FIRMWARE_HEX      the image as hex text (two characters per byte)
#   ZT_FIRMWARE_VERSION  its version, a number with two decimals (2.20)
#   ZT_TOOL_RELEASE      a release of the tool alone with the same firmware
#                        (0 for the first; the third field of 2.20.0)
#
# Sets ZT_FIRMWARE_BYTES, ZT_FIRMWARE_FRAMES, ZT_FIRMWARE_HUNDREDTHS,
# ZT_PROGRAM_VERSION (2.20.0) and writes generated/BuildVersion.h.

set(ZT_FIRMWARE_HEX "${PROJECT_SOURCE_DIR}/resources/firmware.hex" CACHE FILEPATH
    "Firmware image packaged in the programs (hex text)")
set(ZT_FIRMWARE_VERSION "2.20" CACHE STRING "Version of the packaged firmware image (X.YY)")
set(ZT_TOOL_RELEASE "0" CACHE STRING "Release of the tool alone with the same firmware (0, 1, ...)")

# What the update logic holds and what a unit below it is refused with.
set(ZT_MINIMUM_UPGRADABLE_HUNDREDTHS 200)
set(ZT_IMAGE_BUFFER_BYTES 524288)

function(zt_check_firmware_version version out_hundredths)
  if(NOT version MATCHES "^([0-9]+)\\.([0-9][0-9])$")
    message(FATAL_ERROR "ZT_FIRMWARE_VERSION \"${version}\": not a number with two decimals (like 2.20)")
  endif()
  math(EXPR hundredths "${CMAKE_MATCH_1} * 100 + 1${CMAKE_MATCH_2} - 100")
  if(NOT hundredths GREATER ZT_MINIMUM_UPGRADABLE_HUNDREDTHS)
    message(FATAL_ERROR "ZT_FIRMWARE_VERSION \"${version}\": not above 2.00, the lowest version a unit can be upgraded from")
  endif()
  # The Windows version fields and the installer's major version stop at 255.
  if(CMAKE_MATCH_1 GREATER 255)
    message(FATAL_ERROR "ZT_FIRMWARE_VERSION \"${version}\": the major version must be at most 255")
  endif()
  set(${out_hundredths} ${hundredths} PARENT_SCOPE)
endfunction()

# Walks the frames of the image: each a two-byte big-endian length L and L
# payload bytes, back to back, ending exactly at the end of the image.
function(zt_check_firmware_image file out_bytes out_frames)
  if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
    message(FATAL_ERROR "firmware image ${file}: no such file")
  endif()
  file(READ "${file}" text)
  string(LENGTH "${text}" chars)
  if(chars EQUAL 0)
    message(FATAL_ERROR "firmware image ${file}: empty")
  endif()
  string(REGEX MATCH "[^0-9A-Fa-f]" bad "${text}")
  if(NOT bad STREQUAL "")
    string(FIND "${text}" "${bad}" at)
    message(FATAL_ERROR "firmware image ${file}: not hex text (a character other than 0-9, A-F at offset ${at}; no line breaks allowed)")
  endif()
  math(EXPR odd "${chars} % 2")
  if(odd)
    message(FATAL_ERROR "firmware image ${file}: odd length (${chars} characters; two per byte)")
  endif()
  math(EXPR bytes "${chars} / 2")
  if(bytes GREATER ZT_IMAGE_BUFFER_BYTES)
    message(FATAL_ERROR "firmware image ${file}: ${bytes} bytes, larger than the ${ZT_IMAGE_BUFFER_BYTES}-byte image buffer")
  endif()
  set(offset 0)
  set(frames 0)
  while(offset LESS bytes)
    math(EXPR header_end "${offset} + 2")
    if(header_end GREATER bytes)
      message(FATAL_ERROR "firmware image ${file}: frames do not tile the image (one byte left at offset ${offset}, too short for a frame header)")
    endif()
    math(EXPR at "${offset} * 2")
    string(SUBSTRING "${text}" ${at} 4 header)
    math(EXPR next "${offset} + 2 + 0x${header}")
    if(next GREATER bytes)
      message(FATAL_ERROR "firmware image ${file}: frames do not tile the image (frame ${frames} at offset ${offset} runs to ${next}, past the end at ${bytes})")
    endif()
    set(offset ${next})
    math(EXPR frames "${frames} + 1")
  endwhile()
  set(${out_bytes} ${bytes} PARENT_SCOPE)
  set(${out_frames} ${frames} PARENT_SCOPE)
endfunction()

zt_check_firmware_version("${ZT_FIRMWARE_VERSION}" ZT_FIRMWARE_HUNDREDTHS)
if(NOT ZT_TOOL_RELEASE MATCHES "^[0-9]+$" OR ZT_TOOL_RELEASE GREATER 65535)
  message(FATAL_ERROR "ZT_TOOL_RELEASE \"${ZT_TOOL_RELEASE}\": not a whole number up to 65535")
endif()
get_filename_component(ZT_FIRMWARE_HEX "${ZT_FIRMWARE_HEX}" ABSOLUTE)
zt_check_firmware_image("${ZT_FIRMWARE_HEX}" ZT_FIRMWARE_BYTES ZT_FIRMWARE_FRAMES)
# Configure again when the image changes, so that its check runs again.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${ZT_FIRMWARE_HEX}")

string(REPLACE "." ";" _zt_fields "${ZT_FIRMWARE_VERSION}")
list(GET _zt_fields 0 ZT_VERSION_MAJOR)
list(GET _zt_fields 1 _zt_minor)
math(EXPR ZT_VERSION_MINOR "1${_zt_minor} - 100")
set(ZT_PROGRAM_VERSION "${ZT_VERSION_MAJOR}.${_zt_minor}.${ZT_TOOL_RELEASE}")
# Four numeric fields, as Windows manifests want them.
set(ZT_MANIFEST_VERSION "${ZT_VERSION_MAJOR}.${ZT_VERSION_MINOR}.${ZT_TOOL_RELEASE}.0")
message(STATUS "Packaged firmware ${ZT_FIRMWARE_VERSION}: ${ZT_FIRMWARE_HEX}, ${ZT_FIRMWARE_BYTES} bytes in ${ZT_FIRMWARE_FRAMES} frames; program version ${ZT_PROGRAM_VERSION}")

set(ZT_GENERATED_DIR "${PROJECT_BINARY_DIR}/generated")
configure_file("${PROJECT_SOURCE_DIR}/cmake/BuildVersion.h.in" "${ZT_GENERATED_DIR}/BuildVersion.h" @ONLY)
configure_file("${PROJECT_SOURCE_DIR}/resources/ZT9047QUpdate.manifest" "${ZT_GENERATED_DIR}/ZT9047QUpdate.manifest" @ONLY)
configure_file("${PROJECT_SOURCE_DIR}/resources/zt9047q-flash.manifest" "${ZT_GENERATED_DIR}/zt9047q-flash.manifest" @ONLY)
