# Writes gzipped man pages for kestrow, each of its subcommands and vboard
# from their --help, with help2man, so the pages say what the programs do.
# The subcommands are read from `kestrow --help`: a new one gets its page
# without a change here.
#
#   cmake -DKESTROW=... -DVBOARD=... -DHELP2MAN=... -DVERSION=... -DOUT=dir -P ManPages.cmake
foreach(var KESTROW VBOARD HELP2MAN VERSION OUT)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "ManPages.cmake needs -D${var}=...")
  endif()
endforeach()

file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT}/wrappers)

# help2man runs `PROGRAM --help`; a wrapper per page runs the real program
# under the page's name, so the usage lines show "kestrow burn", not a build path.
function(page name program words description see_also)
  set(script ${OUT}/wrappers/${name})
  list(POP_FRONT words shown)
  list(JOIN words " " sub)
  file(WRITE ${script} "#!/bin/bash\nexec -a ${shown} '${program}' ${sub} \"$@\"\n")
  file(CHMOD ${script} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
  set(include ${OUT}/wrappers/${name}.h2m)
  file(WRITE ${include} "[SEE ALSO]\n${see_also}\n")
  execute_process(
    COMMAND ${HELP2MAN} --no-info --section=1 --version-string=${VERSION} --name=${description}
            --include=${include} --output=${OUT}/${name}.1 ${script}
    RESULT_VARIABLE result ERROR_VARIABLE error)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "help2man could not write ${name}.1: ${error}")
  endif()
  execute_process(COMMAND gzip -9nf ${OUT}/${name}.1 RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip could not compress ${name}.1")
  endif()
endfunction()

execute_process(COMMAND ${KESTROW} --help OUTPUT_VARIABLE help RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "kestrow --help failed (${result})")
endif()
# "Subcommands:" is followed by one line per subcommand: two blanks, the name, its description.
string(FIND "${help}" "\nSubcommands:\n" at)
if(at LESS 0)
  message(FATAL_ERROR "kestrow --help lists no subcommands")
endif()
string(SUBSTRING "${help}" ${at} -1 listing)
# A semicolon would split CMake's lists.
string(REPLACE ";" "<semicolon>" listing "${listing}")
string(REGEX MATCHALL "\n  [a-z][a-z0-9-]* +[^\n]*" entries "${listing}")
set(names "")
set(descriptions "")
foreach(entry IN LISTS entries)
  string(REGEX REPLACE "^\n  ([a-z][a-z0-9-]*) +([^\n]*)$" "\\1" name "${entry}")
  string(REGEX REPLACE "^\n  ([a-z][a-z0-9-]*) +([^\n]*)$" "\\2" text "${entry}")
  # The page's one-line name: the description up to its first full stop or semicolon.
  string(REGEX REPLACE "([.]|<semicolon>).*$" "" text "${text}")
  list(APPEND names ${name})
  list(APPEND descriptions "${text}")
endforeach()

set(see_kestrow "")
foreach(name IN LISTS names)
  string(APPEND see_kestrow ".BR kestrow-${name} (1),\n")
endforeach()
string(APPEND see_kestrow ".BR vboard (1)")

page(kestrow ${KESTROW} "kestrow" "production-line firmware burning station" "${see_kestrow}")
foreach(name description IN ZIP_LISTS names descriptions)
  page(kestrow-${name} ${KESTROW} "kestrow;${name}" "${description}" ".BR kestrow (1)")
endforeach()
page(vboard ${VBOARD} "vboard" "virtual camera and IoT board on a pseudo-terminal, for training and line checks"
     ".BR kestrow (1),\n.BR kestrow-burn (1)")
file(REMOVE_RECURSE ${OUT}/wrappers)
