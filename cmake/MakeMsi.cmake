# The MSI of the staged programs: included by MakeWindowsDist.cmake, or run
# on its own (cmake -P) to make an MSI of another version from the same stage:
#   VERSION     X.YY.Z
#   DIST_DIR    the folder that holds stage/ (the programs, the icon, README.md, LICENSE)
#   MSI         the MSI to write
#   SOURCE_DIR  the source tree (installer/zt9047q.wxs)
#   WIXL, MSIBUILD  found on PATH when not given
foreach(var VERSION DIST_DIR MSI SOURCE_DIR)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "MakeMsi.cmake needs -D${var}=...")
  endif()
endforeach()
if(NOT WIXL)
  find_program(WIXL wixl)
endif()
if(NOT MSIBUILD)
  find_program(MSIBUILD msibuild)
endif()
if(NOT WIXL OR NOT MSIBUILD)
  message(FATAL_ERROR "wixl and msibuild (Debian's wixl and msitools) are needed for the installer")
endif()

set(wxs ${SOURCE_DIR}/installer/zt9047q.wxs)
file(READ ${wxs} wxs_text)
if(NOT wxs_text MATCHES "UpgradeCode=\"([0-9A-F-]+)\"")
  message(FATAL_ERROR "${wxs}: no UpgradeCode")
endif()
set(upgrade_code "{${CMAKE_MATCH_1}}")

file(REMOVE ${MSI})
# wixl finds the files by paths relative to where it runs.
execute_process(
  COMMAND ${WIXL} -a x64 -D Version=${VERSION} -D StageDir=stage -D IconFile=stage/zt9047q.ico
          -o ${MSI} ${wxs}
  WORKING_DIRECTORY ${DIST_DIR}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0 OR NOT EXISTS ${MSI})
  message(FATAL_ERROR "wixl failed:\n${out}")
endif()

# What wixl cannot write, added to its tables:
# - Its major upgrade looks for versions below this one only, so a rebuild
#   of the same version (a new product code) would stand beside the
#   installed one. The search row takes the same version too (attributes:
#   migrate features 0x1, maximum inclusive 0x200).
# - It has no Environment element. The row appends the install folder to
#   the system PATH ("=" set at install, "-" removed at uninstall, "*" the
#   machine's variable; "[~];" keeps what is there), tied to the command
#   line's component; the two standard actions write and remove it.
function(msi_query q)
  execute_process(COMMAND ${MSIBUILD} ${MSI} -q "${q}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "msibuild failed on: ${q}\n${out}")
  endif()
endfunction()
msi_query("DELETE FROM `Upgrade` WHERE `ActionProperty` = 'WIX_UPGRADE_DETECTED'")
msi_query("INSERT INTO `Upgrade` (`UpgradeCode`, `VersionMax`, `Attributes`, `ActionProperty`) VALUES ('${upgrade_code}', '${VERSION}', 513, 'WIX_UPGRADE_DETECTED')")
msi_query("CREATE TABLE `Environment` (`Environment` CHAR(72) NOT NULL, `Name` CHAR(255) NOT NULL LOCALIZABLE, `Value` CHAR(255) LOCALIZABLE, `Component_` CHAR(72) NOT NULL PRIMARY KEY `Environment`)")
msi_query("INSERT INTO `Environment` (`Environment`, `Name`, `Value`, `Component_`) VALUES ('SystemPath', '=-*PATH', '[~];[INSTALLDIR]', 'CommandLine')")
msi_query("INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('RemoveEnvironmentStrings', 3300)")
msi_query("INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('WriteEnvironmentStrings', 5200)")
