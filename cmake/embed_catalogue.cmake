# Reads the message catalogue files named in INPUTS and writes
#  - OUT: a C++ source holding them as one raw string, for the message room
#    to parse at start-up;
#  - NAMES: the header of named message numbers.
#
# A catalogue line is "GROUP NUMBER TEXT". A line may name its message by
# putting the name in brackets before the text: "GROUP NUMBER [NAME] TEXT",
# NAME being capitals, digits and underscores, starting with a capital and
# unique within its group. The name is taken out of the embedded text, and the
# header gets, in namespace msgGROUP, "inline constexpr int NAME = NUMBER;":
#   326 3309 [NO_LIFETABLE] %1zThe life-table method ...
# is used as xpmlog(326, msg326::NO_LIFETABLE). Lines without a name keep
# working through their number; a text may not start with "[".
separate_arguments(files UNIX_COMMAND "${INPUTS}")
list(SORT files)
set(body "")
foreach(f ${files})
  file(READ ${f} txt)
  string(APPEND body "${txt}\n")
endforeach()

# Every named line, found after a line break (one is put in front of the
# first line).
set(named_line "\n([0-9]+)[ \t]+([0-9]+)[ \t]+\\[([A-Z][A-Z0-9_]*)\\][ \t]?")
string(REGEX MATCHALL "${named_line}" found "\n${body}")
# A text may not start with "[" unless it names its message: a misspelt name
# would otherwise end up in the text. (Brackets are read as braces here, since
# a CMake list does not split inside square brackets.)
string(REPLACE "[" "{" plain "\n${body}")
string(REPLACE "]" "}" plain "${plain}")
string(REGEX MATCHALL "\n[0-9]+[ \t]+[0-9]+[ \t]+{[^\n};]*}?" bracketed "${plain}")
foreach(b ${bracketed})
  if(NOT b MATCHES "{[A-Z][A-Z0-9_]*}$")
    string(STRIP "${b}" b)
    string(REPLACE "{" "[" b "${b}")
    string(REPLACE "}" "]" b "${b}")
    message(FATAL_ERROR "Catalogue line \"${b}...\": a name in brackets is capitals, digits "
                        "and underscores, starting with a capital")
  endif()
endforeach()
set(groups "")
foreach(m ${found})
  string(REGEX REPLACE "${named_line}" "\\1;\\2;\\3" parts "${m}")
  list(GET parts 0 group)
  list(GET parts 1 number)
  list(GET parts 2 name)
  if(DEFINED seen_${group}_${name})
    message(FATAL_ERROR "Message name ${name} is given twice in group ${group} "
                        "(${seen_${group}_${name}} and ${number})")
  endif()
  set(seen_${group}_${name} ${number})
  list(APPEND groups ${group})
  string(APPEND lines_${group} "inline constexpr int ${name} = ${number};\n")
endforeach()
list(REMOVE_DUPLICATES groups)
list(SORT groups COMPARE NATURAL)

# The embedded text keeps "GROUP NUMBER TEXT" only.
string(REGEX REPLACE "${named_line}" "\n\\1 \\2 " stripped "\n${body}")
string(SUBSTRING "${stripped}" 1 -1 stripped)

file(WRITE ${OUT}.tmp "// Generated from src/host/messages/catalogue/*.txt; do not edit.\n"
  "namespace vyr { extern const char* const kCatalogueText; }\n"
  "const char* const vyr::kCatalogueText = R\"KORVCAT(${stripped})KORVCAT\";\n")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)

string(CONCAT header "// Generated from src/host/messages/catalogue/*.txt; do not edit.\n"
           "// The named message numbers of the catalogue, one namespace per group\n"
           "// (see cmake/embed_catalogue.cmake for how a catalogue line names one).\n"
           "#pragma once\n")
foreach(g ${groups})
  string(APPEND header "\nnamespace msg${g}\n{\n${lines_${g}}} // namespace msg${g}\n")
endforeach()
file(WRITE ${NAMES}.tmp "${header}")
file(COPY_FILE ${NAMES}.tmp ${NAMES} ONLY_IF_DIFFERENT)
