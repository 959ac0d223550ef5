cmake_minimum_required(VERSION 3.21)
# Writes the page into OUT_DIR: index.html from TEMPLATE with the document
# SAMPLE in its editor, and wikitext.js, the package's binding (BINDING) as a
# classic script that defines one global, Wikitext.

# The sample, escaped for the text of a <textarea>: only & and < matter there.
file(READ ${SAMPLE} text)
string(REPLACE "&" "&amp;" text "${text}")
string(REPLACE "<" "&lt;" text "${text}")
file(READ ${TEMPLATE} page)
string(FIND "${page}" "@SAMPLE@" at)
if(at EQUAL -1)
  message(FATAL_ERROR "${TEMPLATE}: no @SAMPLE@ to replace")
endif()
string(REPLACE "@SAMPLE@" "${text}" page "${page}")
file(WRITE ${OUT_DIR}/index.html "${page}")

# A module's exports become the members of one object.
file(READ ${BINDING} binding)
string(REGEX MATCHALL "\nexport function [a-zA-Z]+" exports "${binding}")
string(REPLACE "\nexport function " "\nfunction " binding "${binding}")
if(binding MATCHES "(^|\n)(export|import) ")
  message(FATAL_ERROR "${BINDING}: only `export function` can be turned into a classic script")
endif()
set(members)
foreach(e IN LISTS exports)
  string(REPLACE "\nexport function " "" name "${e}")
  list(APPEND members "${name}")
endforeach()
list(JOIN members ", " members)
file(WRITE ${OUT_DIR}/wikitext.js
  "// Generated from js/binding.js: the package's binding for a classic script.\n"
  "var Wikitext = (function () {\n'use strict';\n${binding}\nreturn { ${members} };\n})();\n")
