# Writes OUT, a C++ source holding the catalogue files named in INPUTS as one
# raw string, for the message room to parse at start-up.
separate_arguments(files UNIX_COMMAND "${INPUTS}")
list(SORT files)
set(body "")
foreach(f ${files})
  file(READ ${f} txt)
  string(APPEND body "${txt}\n")
endforeach()
file(WRITE ${OUT}.tmp "// Generated from src/host/messages/catalogue/*.txt; do not edit.\n"
  "namespace vyr { extern const char* const kCatalogueText; }\n"
  "const char* const vyr::kCatalogueText = R\"KORVCAT(${body})KORVCAT\";\n")
file(COPY_FILE ${OUT}.tmp ${OUT} ONLY_IF_DIFFERENT)
