# The Debian package: `cpack -G DEB` in the build folder makes fotarik_<version>_<arch>.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fotarik)
set(CPACK_PACKAGE_VENDOR "The Fotarik developers")
set(CPACK_PACKAGE_CONTACT "The Fotarik developers <fotarik@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find picture, text, sound and video files and preview them")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the binary links come from dpkg-shlibdeps; what Qt and GStreamer load at
# run time (image readers, media plugins, the codecs of old AVIs, MIDI) and the fonts the
# substitutions and the WMF renderer rely on are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qt6-image-formats-plugins, gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, gstreamer1.0-plugins-bad, gstreamer1.0-libav, fonts-urw-base35, fonts-dejavu-core, fonts-liberation2")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n, xdg-utils")
# The summary above is the first line; this is the long description below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Fotarik searches a folder tree for picture, text, sound and video files by
type or by a wildcard pattern list, lists the hits as they are found and
previews the pressed one: a picture scaled into a small box, a text, a sound
or a video played. A double click opens a black full-screen window with arrow
keys, a scroll bar and a timed slideshow. The interface is German.")

include(CPack)
