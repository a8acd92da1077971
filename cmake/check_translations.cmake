# Fails when the translation file TS_FILE (lupdate's view of the sources merged into the
# committed SOURCE_TS) holds a source text without a finished translation, naming each.
file(READ "${TS_FILE}" ts)
string(REGEX MATCHALL "<source>[^<]*</source>[ \t\r\n]*<translation type=\"unfinished\"[^>]*>"
       unfinished "${ts}")
if(unfinished)
  set(names "")
  foreach(entry IN LISTS unfinished)
    string(REGEX REPLACE "^<source>([^<]*)</source>.*$" "\\1" text "${entry}")
    string(APPEND names "\n  ${text}")
  endforeach()
  message(FATAL_ERROR "These window texts have no English translation:${names}\n"
                      "Run `ninja -C build update_translations`, translate them in "
                      "${SOURCE_TS} (Qt Linguist or any editor) and build again.")
endif()
