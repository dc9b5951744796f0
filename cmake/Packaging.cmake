# `cpack -G DEB` (or the `package` target): a Debian package of what `cmake --install`
# puts in place.
set(HORALIS_MAINTAINER "Horalis 开发组 <horalis@localhost>" CACHE STRING
    "Maintainer named in the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME horalis)
set(CPACK_PACKAGE_VENDOR "Horalis")
set(CPACK_PACKAGE_CONTACT "${HORALIS_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "Horalis 用一个窗口显示当前的日期和时间。可以手工输入时间和日期，"
    "或从网络时间服务器取得北京时间，再把它写入系统时钟。"
    "以普通用户运行时，它请系统的时间服务（timedated）修改时间，"
    "并按提示输入管理员密码。")
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
