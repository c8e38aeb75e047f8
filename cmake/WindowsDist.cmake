# What goes to Windows users, made by the target "windows-dist" in the
# cross build: both programs, signed when a key is given, the MSI
# installer (wixl, msibuild) and a portable zip, in dist/ of the build tree.
find_program(ZT_WIXL wixl)
find_program(ZT_MSIBUILD msibuild)
find_program(ZT_OSSLSIGNCODE osslsigncode)

set(ZT_DIST_DIR ${PROJECT_BINARY_DIR}/dist)
set(ZT_MSI ${ZT_DIST_DIR}/ZT9047QUpdate-${ZT_PROGRAM_VERSION}.msi)
set(ZT_ZIP ${ZT_DIST_DIR}/ZT9047QUpdate-${ZT_PROGRAM_VERSION}-portable.zip)
add_custom_target(windows-dist
  COMMAND ${CMAKE_COMMAND}
          -DDIST_DIR=${ZT_DIST_DIR} -DVERSION=${ZT_PROGRAM_VERSION}
          -DWINDOW_EXE=$<TARGET_FILE:ZT9047QUpdate> -DFLASH_EXE=$<TARGET_FILE:zt9047q-flash>
          -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DMSI=${ZT_MSI} -DZIP=${ZT_ZIP}
          -DWIXL=${ZT_WIXL} -DMSIBUILD=${ZT_MSIBUILD} -DOSSLSIGNCODE=${ZT_OSSLSIGNCODE}
          -P ${PROJECT_SOURCE_DIR}/cmake/MakeWindowsDist.cmake
  DEPENDS ZT9047QUpdate zt9047q-flash
  COMMENT "Windows installer and portable zip, version ${ZT_PROGRAM_VERSION}"
  VERBATIM)
