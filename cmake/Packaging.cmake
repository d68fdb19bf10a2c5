# Installing and packaging. The programs install themselves (src/app,
# src/launcher); this adds what desktops need to list Corvane, and a Debian
# package of the same layout:
#   <prefix>/bin/corvane
#   <prefix>/libexec/corvane/corvane-helper
#   <prefix>/share/applications/org.corvane.Corvane.desktop
#   <prefix>/share/icons/hicolor/scalable/apps/org.corvane.Corvane.svg

# corvane-helper finds corvane by going three levels up from itself.
if(NOT CMAKE_INSTALL_LIBEXECDIR STREQUAL "libexec")
    message(WARNING "CMAKE_INSTALL_LIBEXECDIR is '${CMAKE_INSTALL_LIBEXECDIR}': "
        "corvane-helper expects <prefix>/libexec/corvane and will not find corvane")
endif()

install(FILES "${PROJECT_SOURCE_DIR}/data/${CORVANE_APP_ID}.desktop"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/applications")
install(FILES "${PROJECT_SOURCE_DIR}/data/icons/hicolor/scalable/apps/${CORVANE_APP_ID}.svg"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps")

# cpack (and the install target) would otherwise build every target first,
# tests and benchmarks included; `make install` and `make package` build.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CORVANE_PACKAGE_CONTACT "Corvane maintainers <maintainers@corvane.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "corvane")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "${CORVANE_PACKAGE_CONTACT}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Sonos speakers as AirPlay receivers")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Corvane is a tray application that finds the Sonos speakers of the local\n"
    "network, writes the configuration of the AirConnect bridge (airupnp) and\n"
    "runs it, so that each speaker appears as an AirPlay receiver. AirConnect\n"
    "itself is not part of this package.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# corvane_<version>_<arch>.deb
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "sound")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# dpkg-shlibdeps derives the library packages (Qt 6, pugixml, spdlog, fmt)
# from what the programs link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Not linked, but loaded as plugins: the SVG image and icon engines draw the tray icon.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6")
# Not linked, but wanted: a session bus (single instance, start at login,
# sleep inhibition) and Qt's Wayland platform plugin.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "dbus-user-session | dbus-x11, qt6-wayland")
# GNOME shows no tray icons without this extension; elsewhere it is not needed.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "gnome-shell-extension-appindicator")

include(CPack)
