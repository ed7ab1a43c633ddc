# The Debian package: `cpack -G DEB` in the build folder gives tervane_<version>_<arch>.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tervane)
set(CPACK_PACKAGE_VENDOR "The Tervane developers")
set(CPACK_PACKAGE_CONTACT "The Tervane developers <tervane@forum.example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find an injected piece of malicious text in web pages")
set(CPACK_PACKAGE_DESCRIPTION
    "Tervane finds one known piece of malicious text, typically an invisible
frame that an attacker injected into web pages, in the files of a folder, of
one drive or of every drive, lists the infected files and removes the text
from them, keeping every other byte, the permissions and the owner.
The window program is tervane; tervane-cli does the same from a shell.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Whatever the builder's umask, the package's folders are rwxr-xr-x.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://forum.example.com")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
# The libraries the programs link to are found by dpkg-shlibdeps. It cannot see
# what is opened at run time: Qt's platform plugins (qt6-qpa-plugins), Qt's own
# texts in Chinese (qt6-translations-l10n), a font with Chinese characters for
# the captions, and xdg-open, which starts the browser and, when no file manager
# answers on D-Bus, the file manager. Those are added to the computed list.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(TERVANE_BUILD_GUI)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS
      "qt6-qpa-plugins, qt6-translations-l10n, fonts-arphic-uming | fonts-noto-cjk, xdg-utils")
endif()

# The watch's configuration is the administrator's: kept across upgrades.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/debian-control/conffiles "/etc/tervane/watch.conf\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/debian-control/conffiles)

include(CPack)
