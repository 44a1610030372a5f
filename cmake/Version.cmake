# The version and the date of the release come from one place, the top entry
# of the changelog (as dpkg-parsechangelog reads it); the package's control
# data, the manual pages, the AppStream release, the Windows version resource,
# manifest and installer are all made from these two.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../packaging/changelog licht_entry LIMIT_COUNT 1)
if(NOT licht_entry MATCHES "^lichtsteuerung \\(([0-9]+\\.[0-9]+\\.[0-9]+)\\) ")
  message(FATAL_ERROR "packaging/changelog: the top entry names no version: ${licht_entry}")
endif()
set(LICHT_VERSION ${CMAKE_MATCH_1})
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/../packaging/changelog licht_trailer REGEX "^ -- " LIMIT_COUNT 1)
if(NOT licht_trailer MATCHES ", ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
  message(FATAL_ERROR "packaging/changelog: the top entry's trailer has no date: ${licht_trailer}")
endif()
set(licht_months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND licht_months ${CMAKE_MATCH_2} licht_month)
if(licht_month LESS 0)
  message(FATAL_ERROR "packaging/changelog: no month ${CMAKE_MATCH_2}")
endif()
math(EXPR licht_month "${licht_month} + 1" OUTPUT_FORMAT DECIMAL)
if(licht_month LESS 10)
  set(licht_month 0${licht_month})
endif()
set(LICHT_RELEASE_DATE ${CMAKE_MATCH_3}-${licht_month}-${CMAKE_MATCH_1})
