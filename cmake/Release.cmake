# The release this tree is, as its Debian packaging records it: the version and date of
# the newest entry of debian/changelog, and the home page in debian/control. They are
# written there once; the program, its manual pages and its AppStream metadata take
# them from here. Included before project(), which takes the version.
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/../debian/changelog" horalis_entry_head
     REGEX "^horalis \\(" LIMIT_COUNT 1)
if(NOT horalis_entry_head MATCHES "^horalis \\(([0-9]+\\.[0-9]+\\.[0-9]+)\\) ")
    message(FATAL_ERROR "debian/changelog does not start with an entry 'horalis (X.Y.Z) ...'")
endif()
set(HORALIS_VERSION ${CMAKE_MATCH_1})

# The entry's trailer: " -- Name <address>  Tue, 08 Dec 2026 12:00:00 +0000".
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/../debian/changelog" horalis_entry_trailer
     REGEX "^ -- " LIMIT_COUNT 1)
if(NOT horalis_entry_trailer MATCHES ">  [A-Z][a-z][a-z], ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
    message(FATAL_ERROR "debian/changelog's newest entry has no date: ${horalis_entry_trailer}")
endif()
set(horalis_months Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND horalis_months ${CMAKE_MATCH_2} horalis_month)
if(horalis_month EQUAL -1)
    message(FATAL_ERROR "debian/changelog's newest entry has no month: ${horalis_entry_trailer}")
endif()
math(EXPR horalis_month "${horalis_month} + 1" OUTPUT_FORMAT DECIMAL)
if(horalis_month LESS 10)
    set(horalis_month 0${horalis_month})
endif()
set(HORALIS_RELEASE_DATE ${CMAKE_MATCH_3}-${horalis_month}-${CMAKE_MATCH_1})

file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/../debian/control" horalis_homepage
     REGEX "^Homepage: " LIMIT_COUNT 1)
string(REGEX REPLACE "^Homepage: *" "" HORALIS_HOMEPAGE "${horalis_homepage}")
