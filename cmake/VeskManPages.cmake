# Manual pages of the programs, generated from their --help and --version
# output by help2man at build time and installed into share/man/man1. Without
# help2man the pages are skipped with a note.
find_program(VESK_HELP2MAN help2man)
if(NOT VESK_HELP2MAN)
  message(STATUS "help2man not found: manual pages of the programs skipped")
  return()
endif()

# Program and the one-line description of its NAME section.
set(vesk_man_programs
    "veskfeed|send the images of a FITS cube as a VESK stream over UDP"
    "veskrecv|receive a VESK stream and report the samples received and lost"
    "vesk2vidragw|republish a VESK stream as a VIDRA image stream through a broker"
    "vidra2fits|write images of a VIDRA stream to a FITS cube"
    "vesk-impair|UDP relay that drops, duplicates, reorders, delays and damages datagrams"
    "vesk-make-cube|write a sample FITS cube of 16-bit pixels")

# The programs built here, for each page's SEE ALSO.
set(vesk_man_names)
foreach(entry IN LISTS vesk_man_programs)
  string(REGEX REPLACE "\\|.*" "" program "${entry}")
  if(TARGET ${program})
    list(APPEND vesk_man_names ${program})
  endif()
endforeach()

set(vesk_man_pages)
foreach(entry IN LISTS vesk_man_programs)
  string(REGEX REPLACE "\\|.*" "" program "${entry}")
  string(REGEX REPLACE "^[^|]*\\|" "" description "${entry}")
  if(NOT TARGET ${program})
    continue()
  endif()
  # A synopsis (unless the help has a "Usage:" line) and the other programs.
  set(include_text "")
  if(NOT program STREQUAL "vesk-make-cube")
    string(APPEND include_text "[SYNOPSIS]\n.B ${program}\n\\&[\\fIOPTIONS\\fR]\n")
  endif()
  set(see_also "")
  foreach(other IN LISTS vesk_man_names)
    if(NOT other STREQUAL program)
      list(APPEND see_also ".BR ${other} (1)")
    endif()
  endforeach()
  list(JOIN see_also ",\n" see_also)
  string(APPEND include_text "[SEE ALSO]\n${see_also}\n")
  set(include_file ${CMAKE_BINARY_DIR}/man/${program}.h2m)
  file(CONFIGURE OUTPUT ${include_file} CONTENT "${include_text}" @ONLY)

  set(page ${CMAKE_BINARY_DIR}/man/${program}.1)
  add_custom_command(
    OUTPUT ${page}
    COMMAND ${VESK_HELP2MAN} --no-info --name=${description} --include=${include_file} --output=${page}
            $<TARGET_FILE:${program}>
    DEPENDS ${program} ${include_file}
    COMMENT "Manual page of ${program}"
    VERBATIM)
  list(APPEND vesk_man_pages ${page})
endforeach()

add_custom_target(vesk_man_pages ALL DEPENDS ${vesk_man_pages})
install(FILES ${vesk_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
