# Every text the windows mark for translation is in po/'s template, and each
# catalogue in po/LINGUAS has a finished (not fuzzy) translation of it.
file(GLOB sources ${SOURCE_DIR}/companion/app/*.cpp ${SOURCE_DIR}/companion/app/*.h)
set(marked ${BUILD_DIR}/catalogue-test.pot)
execute_process(COMMAND ${XGETTEXT} --from-code=UTF-8 --language=C++ --keyword=localized
                        --keyword=translatable -o ${marked} ${sources}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "xgettext failed")
endif()
set(failed)
execute_process(COMMAND ${MSGCMP} --use-untranslated ${SOURCE_DIR}/po/korvel-companion.pot ${marked}
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  list(APPEND failed korvel-companion.pot)
endif()
file(STRINGS ${SOURCE_DIR}/po/LINGUAS languages REGEX "^[^#]")
foreach(language IN LISTS languages)
  execute_process(COMMAND ${MSGCMP} ${SOURCE_DIR}/po/${language}.po ${marked} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    list(APPEND failed ${language}.po)
  endif()
endforeach()
file(REMOVE ${marked})
if(failed)
  message(FATAL_ERROR "incomplete: ${failed}")
endif()
