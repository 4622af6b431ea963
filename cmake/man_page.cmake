# Writes the program's manual page, gzipped, from its own help so that the
# two cannot drift: help2man renders `imgnorm --help` and `--version`, and
# each command's help becomes a part of the COMMANDS section.
# Run as: cmake -DPROGRAM=... -DHELP2MAN=... -DOUTPUT=.../imgnorm.1.gz -P man_page.cmake
set(include_file ${OUTPUT}.include)
set(text "[COMMANDS]\n")
foreach(command train run normalize info)
  execute_process(COMMAND ${PROGRAM} ${command} --help OUTPUT_VARIABLE help RESULT_VARIABLE rc)
  if(rc)
    message(FATAL_ERROR "${PROGRAM} ${command} --help failed")
  endif()
  # Roff reads a backslash as an escape and a line starting with a dot or a
  # quote as a request.
  string(REPLACE "\\" "\\e" help "${help}")
  string(REGEX REPLACE "(^|\n)([.'])" "\\1\\\\&\\2" help "${help}")
  string(APPEND text ".SS ${command}\n.nf\n${help}.fi\n")
endforeach()
file(WRITE ${include_file} "${text}")
string(REGEX REPLACE "\\.gz$" "" page ${OUTPUT})
execute_process(
  COMMAND ${HELP2MAN} --no-info --no-discard-stderr
          --name "normalize the gray levels of images to those of a trained reference"
          --include ${include_file} --output ${page} ${PROGRAM}
  RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "help2man failed")
endif()
# -n leaves the name and time out of the archive, so equal pages give equal
# files.
execute_process(COMMAND gzip -9nf ${page} RESULT_VARIABLE rc)
if(rc)
  message(FATAL_ERROR "gzip failed")
endif()
