# Runs help2man on one program (cmake -P; see ManPage.cmake).
#   -DHELP2MAN=path -DPROGRAM=path -DNAME=text [-DINCLUDE=file.h2m] -DVERSION=x.y.z -DOUTPUT=page
# help2man reads the program's texts through a stand-in of the same name,
# so that three things can be mended on the way: the synopsis is only found
# after "Usage:" (the programs print "usage:"), it must be one line, and a
# program whose --version does not print a version (it fails, or prints
# nothing) is given the project's version.
#   -DCHECK=page -DPROGRAM=path   (a test: the page's synopsis holds the
#   program's whole usage, and none of it is left in the description)
get_filename_component(program_name ${PROGRAM} NAME)

# The usage lines as the program prints them: the first, and every indented
# line under it (its continuations, and another form of the command, which
# starts with the program's name) up to the first line that is not indented.
function(zt_usage_lines help out)
  string(REGEX MATCH "[Uu]sage:[^\n]*(\n [^\n]*)*" usage "${help}")
  set(${out} "${usage}" PARENT_SCOPE)
endfunction()

if(CHECK)
  execute_process(COMMAND ${PROGRAM} --help OUTPUT_VARIABLE help_text TIMEOUT 10)
  zt_usage_lines("${help_text}" usage)
  file(READ ${CHECK} page)
  string(REGEX MATCH "\n\\.SH SYNOPSIS\n.*\n\\.SH DESCRIPTION\n[^\n]*\n[^\n]*" head "${page}")
  string(REGEX MATCH "^.*\n\\.SH DESCRIPTION" synopsis "${head}")
  string(REGEX MATCH "\\.SH DESCRIPTION\n.*$" description_start "${head}")
  # The first word of each bracketed item of the usage (an option, or a
  # word such as "options"), as the page writes it: "-" may be "\-".
  string(REGEX MATCHALL "\\[[^]]*\\]" items "${usage}")
  foreach(item ${items})
    string(REGEX MATCH "[-A-Za-z]+" word "${item}")
    string(REPLACE "-" "\\\\?-" pattern "${word}")
    set(pattern "[[ ,]${pattern}[][=\\/ ]")
    if(NOT synopsis MATCHES "${pattern}")
      message(FATAL_ERROR "${CHECK}: ${item} of the usage is not in the synopsis:\n${head}")
    endif()
    if(description_start MATCHES "${pattern}")
      message(FATAL_ERROR "${CHECK}: ${item} of the usage fell into the description:\n${head}")
    endif()
  endforeach()
  return()
endif()

execute_process(COMMAND ${PROGRAM} --help
                RESULT_VARIABLE help_result OUTPUT_VARIABLE help_text TIMEOUT 10)
if(NOT help_result EQUAL 0 OR help_text STREQUAL "")
  message(FATAL_ERROR "${PROGRAM} --help printed no help")
endif()
string(REGEX REPLACE "(^|\n)usage:" "\\1Usage:" help_text "${help_text}")
# A usage too long for one line goes on in lines indented under its first,
# and another form of the command stands under it with the program's name;
# help2man takes only "Usage:" and "or:" lines into the synopsis and would
# leave the rest at the head of the description. So each form becomes one
# line, the second ones "or:" lines.
zt_usage_lines("${help_text}" usage)
set(forms "${usage}")
string(REGEX REPLACE "\n +(${program_name} )" "\n  or: \\1" forms "${forms}")
while(forms MATCHES "\n        +[^ \n]")
  string(REGEX REPLACE "\n        +([^ \n])" " \\1" forms "${forms}")
endwhile()
string(REPLACE "${usage}" "${forms}" help_text "${help_text}")

execute_process(COMMAND ${PROGRAM} --version
                RESULT_VARIABLE version_result OUTPUT_VARIABLE version_text ERROR_QUIET TIMEOUT 10)
if(NOT version_result EQUAL 0 OR version_text STREQUAL "")
  set(version_text "${program_name} ${VERSION}\n")
endif()

set(dir ${OUTPUT}.d)
file(REMOVE_RECURSE ${dir})
file(MAKE_DIRECTORY ${dir})
file(WRITE ${dir}/help.txt "${help_text}")
file(WRITE ${dir}/version.txt "${version_text}")
file(WRITE ${dir}/${program_name}.in
  "#!/bin/sh\n"
  "case \"$1\" in\n"
  "  --help) exec cat '${dir}/help.txt' ;;\n"
  "  --version) exec cat '${dir}/version.txt' ;;\n"
  "esac\n"
  "exit 2\n")
file(COPY ${dir}/${program_name}.in DESTINATION ${dir}/bin
     FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
file(RENAME ${dir}/bin/${program_name}.in ${dir}/${program_name})

set(args --no-info --section=1 "--name=${NAME}")
if(INCLUDE)
  list(APPEND args "--include=${INCLUDE}")
endif()
execute_process(COMMAND ${HELP2MAN} ${args} --output=${OUTPUT}.tmp ${dir}/${program_name}
                RESULT_VARIABLE result TIMEOUT 30)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "help2man failed on ${PROGRAM}")
endif()
file(RENAME ${OUTPUT}.tmp ${OUTPUT})
file(REMOVE_RECURSE ${dir})
