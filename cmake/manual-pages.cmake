# Writes the manual pages, English and Japanese, for the install prefix they describe: plain in
# OUTPUT (for reading in place) and compressed as Debian ships them in OUTPUT/man and
# OUTPUT/man/ja. Run at build time for the configured prefix and again at install time for the
# prefix installed under, so that every installed page names the folders it was installed with.
# Given: SOURCE_DIR, OUTPUT, TALLYBOOK_VERSION, PREFIX, LOCALEDIR (relative to PREFIX or absolute).
if(IS_ABSOLUTE "${LOCALEDIR}")
  set(PAGE_LOCALE_DIR "${LOCALEDIR}")
else()
  set(PAGE_LOCALE_DIR "${PREFIX}/${LOCALEDIR}")
endif()
set(PAGE_LIBRARY_DIR "${PREFIX}/lib/tallybook")
file(MAKE_DIRECTORY "${OUTPUT}/man/ja")
foreach(page tallybook.1 tallybook.ja.1)
  configure_file("${SOURCE_DIR}/docs/${page}" "${OUTPUT}/${page}" @ONLY)
endforeach()
execute_process(COMMAND gzip -9n -c "${OUTPUT}/tallybook.1"
                OUTPUT_FILE "${OUTPUT}/man/tallybook.1.gz" COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND gzip -9n -c "${OUTPUT}/tallybook.ja.1"
                OUTPUT_FILE "${OUTPUT}/man/ja/tallybook.1.gz" COMMAND_ERROR_IS_FATAL ANY)
