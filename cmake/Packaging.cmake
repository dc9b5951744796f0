# `cpack -G DEB` (or the `package` target): a Debian package of what `cmake --install`
# puts in place.
#
# The maintainer is whoever answers for the package: by default the project's own
# mailing list; a distributor who builds the package sets their own.
set(horalis_maintainer "Horalis Developers <horalis@googlegroups.com>")
set(HORALIS_MAINTAINER "${horalis_maintainer}" CACHE STRING
    "Maintainer named in the Debian package")
# A build tree configured before keeps the earlier default, which no mail reaches.
if(HORALIS_MAINTAINER MATCHES "@localhost>$")
    set_property(CACHE HORALIS_MAINTAINER PROPERTY VALUE "${horalis_maintainer}")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME horalis)
set(CPACK_PACKAGE_VENDOR "Horalis")
set(CPACK_PACKAGE_CONTACT "${HORALIS_MAINTAINER}")
set(CPACK_PACKAGE_HOMEPAGE_URL "${HORALIS_HOMEPAGE}")
# Debian wants the synopsis and the extended description in English (a package
# list shows them to every user); the last paragraph says it again in Chinese.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "set the computer's clock by hand or from a network time server")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "Horalis is a small desktop tool whose one window, in Simplified Chinese,"
    "shows the current date and time and writes a new time to the system clock."
    "The time is either typed in by hand or fetched as Beijing time (UTC+8) from"
    "a Daytime server (RFC 867): ${HORALIS_PRIMARY_HOST}, or ${HORALIS_SECONDARY_HOST} as a fallback."
    ""
    "Run as root, it sets the clock itself. Run by a normal user in a desktop"
    "session, it asks systemd-timedated, and polkit asks for an administrator's"
    "password. When automatic time synchronisation (NTP) is on, it offers to"
    "switch it off first, since it would soon undo a time set by hand."
    ""
    "Horalis 是一个校准本机时钟的小工具：手工录入时间，或按网络标准时间校准。")
# CPack 3.25 takes CPACK_PACKAGE_DESCRIPTION for a .deb only together with a
# CPACK_PACKAGE_DESCRIPTION_FILE; named for the DEB generator it is always used,
# with the summary put in front as the synopsis.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${HORALIS_MAINTAINER}")
# The Qt libraries come from dpkg-shlibdeps; what is loaded at run time without
# being linked is named here: the window's platform plugins and a font with the
# Chinese texts' glyphs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-wqy-microhei | fonts-noto-cjk")
# Qt's own Chinese texts (context menus, standard dialogs); English ones otherwise.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n")

include(CPack)
