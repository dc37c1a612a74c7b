# The Debian package: `cpack -G DEB` in the build folder makes fotarik_<version>_<arch>.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME fotarik)
set(CPACK_PACKAGE_VENDOR "The Fotarik developers")
set(CPACK_PACKAGE_CONTACT "The Fotarik developers <fotarik@fotarik.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find picture, text, sound and video files and preview them")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The package's revision: fotarik_<version>-<revision>_<arch>.deb, with changelog.Debian.gz.
set(CPACK_DEBIAN_PACKAGE_RELEASE ${FOTARIK_DEBIAN_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: what the program cannot start or show its pictures without. The libraries the
# binary links come from dpkg-shlibdeps (Qt with its X11/Wayland platform plugins, its
# multimedia back end, the JPEG, PNG and metafile libraries); Qt's extra image readers are
# loaded at run time and read TIFF and WebP, two of the picture types the desktop entry
# offers to open, so they are a dependency too (about 1 MB with their libraries).
#
# Recommends: what one kind of file or one menu item needs, where the program itself runs
# without it and says so: the GStreamer plugins play sound and video (base: the player
# itself, WAV; good: AVI and MP3; libav: the codecs of old AVIs; bad: MIDI, and with it GTK 3,
# about 270 MB of the 800 MB a full install brings), the fonts libwmf and the font
# substitutions need for metafiles, Qt's German translations of its own buttons, and the
# desktop helpers the menu's "Öffnen mit Standardprogramm" and "Im Dateimanager zeigen"
# start (gio, else xdg-open and xdg-mime); without them the menu says so in a message box.
# This is how Debian's media players treat the heavy plugins.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-image-formats-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
    "gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, gstreamer1.0-libav, gstreamer1.0-plugins-bad, fonts-urw-base35, fonts-dejavu-core, fonts-liberation2, qt6-translations-l10n, xdg-utils, libglib2.0-bin")
# The summary above is the first line; this is the long description below it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"Fotarik searches a folder tree for picture, text, sound and video files by
type or by a wildcard pattern list, lists the hits as they are found and
previews the pressed one: a picture scaled into a small box, a text, a sound
or a video played. A double click opens a black full-screen window with arrow
keys, a scroll bar and a timed slideshow. The interface is German.")

include(CPack)
