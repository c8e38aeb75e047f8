# Manual pages for the programs that take options: made at build time by
# help2man from the program's own --help (and --version), so they follow the
# program. Without help2man, or in a cross build, there is no page.
# GNUInstallDirs sets its variables in the including folder, so it is
# included every time; the rest once.
include(GNUInstallDirs)
include_guard(GLOBAL)
find_program(ZT_HELP2MAN help2man)
if(NOT ZT_HELP2MAN AND NOT CMAKE_CROSSCOMPILING)
  message(STATUS "help2man not found: the manual pages are not made")
endif()

#   zt_help2man_page(TARGET NAME "what it does" [INCLUDE file.h2m])
function(zt_help2man_page target)
  cmake_parse_arguments(arg "" "NAME;INCLUDE" "" ${ARGN})
  if(NOT ZT_HELP2MAN OR CMAKE_CROSSCOMPILING)
    return()
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/${target}.1)
  set(include_arg "")
  if(arg_INCLUDE)
    set(include_arg -DINCLUDE=${CMAKE_CURRENT_SOURCE_DIR}/${arg_INCLUDE})
  endif()
  add_custom_command(
    OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${ZT_HELP2MAN} -DPROGRAM=$<TARGET_FILE:${target}>
            -DNAME=${arg_NAME} ${include_arg} -DVERSION=${ZT_PROGRAM_VERSION} -DOUTPUT=${page}
            -P ${PROJECT_SOURCE_DIR}/cmake/Help2Man.cmake
    DEPENDS ${target} ${arg_INCLUDE} ${PROJECT_SOURCE_DIR}/cmake/Help2Man.cmake
    COMMENT "Manual page of ${target}"
    VERBATIM)
  add_custom_target(${target}_manpage ALL DEPENDS ${page})
  # tests/ checks each page (testing is enabled after the programs' folders).
  set_property(GLOBAL APPEND PROPERTY ZT_HELP2MAN_PAGES "${target}=${page}")
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 OPTIONAL)
endfunction()
