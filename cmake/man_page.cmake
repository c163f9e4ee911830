# Writes zelvan-cli's manual page: --help and --version through help2man, the fixed sections of
# data/zelvan-cli.h2m, and the option keys as the program lists them (--list-options), so the page
# always matches the program it was built with.
#
#   cmake -DCLI=... -DHELP2MAN=... -DSECTIONS=... -DOUT=... -P man_page.cmake
execute_process(COMMAND ${CLI} --list-options OUTPUT_VARIABLE keys RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${CLI} --list-options failed")
endif()
file(READ ${SECTIONS} fixed)
set(section "[OPTION KEYS]\nEvery KEY that \\fB--set KEY=VALUE\\fR and the \\fB--settings\\fR file take, with its type, default and range:\n")
string(REPLACE "\\" "\\e" keys "${keys}")
string(REPLACE "-" "\\-" keys "${keys}")
string(REGEX REPLACE "\n$" "" keys "${keys}")
string(REPLACE "\n" ";" lines "${keys}")
foreach(line IN LISTS lines)
  string(REPLACE "\t" ";" fields "${line}")
  list(GET fields 0 key)
  list(GET fields 1 type)
  list(GET fields 2 default)
  list(GET fields 3 range)
  string(APPEND section ".TP\n\\fB${key}\\fR\n${type}, default ${default}; ${range}\n")
endforeach()
set(include ${OUT}.h2m)
file(WRITE ${include} "${fixed}\n${section}")
execute_process(COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1
                        --include=${include} --output=${OUT} ${CLI}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "help2man failed for ${CLI}")
endif()
