# What `cmake --install` puts where, and the Debian package CPack builds from it:
#   cmake --install build/release --prefix /usr/local
#   cd build/release && cpack -G DEB          (plombar_<version>_<arch>.deb)

set(PLOMBAR_APP_ID ru.plombar.Plombar)

# Everything the binaries link comes from the system's library folders: no run path to rewrite.
set_target_properties(plombar plombar-cli PROPERTIES INSTALL_RPATH "")
install(TARGETS plombar plombar-cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/data/${PLOMBAR_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${PROJECT_SOURCE_DIR}/data/${PLOMBAR_APP_ID}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${PROJECT_SOURCE_DIR}/data/${PLOMBAR_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
# The .sig, .p7s and .enc files as the types the desktop entry opens; the shared-mime-info package's
# trigger rebuilds the desktop's type database when the .deb puts this in place.
install(FILES ${PROJECT_SOURCE_DIR}/data/${PLOMBAR_APP_ID}.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/mime/packages)
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME plombar)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Plombar maintainers")
set(CPACK_PACKAGE_CONTACT "Plombar maintainers <maintainers@users.noreply.c-seed-6907404e.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "sign, verify, encrypt and decrypt files with the GOST algorithms")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Plombar (Пломбарь) signs whole files as PKCS #7 / CMS messages with the Russian GOST
algorithms (GOST R 34.10-2001 and 34.10-2012), writes DER (.sig) or Base64 (.p7s)
signatures, verifies detached signatures, encrypts files for a recipient's
certificate and decrypts them, and packs a signed file with its signature into a
7z archive. The window is plombar; plombar-cli does the same from scripts and
manages the personal certificate store.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_STRIP_FILES ON)
# The libraries the binaries link (Qt 6 widgets, gui and core, libssl3, the C++ runtime) come from
# dpkg-shlibdeps; the list names what is loaded at run time instead: Qt's platform plugins and its
# Russian texts, the GOST engine, the 7-Zip library (23 or later: older p7zip builds have another
# interface layout, which the loader refuses), the font with Cyrillic, and xdg-open for the output
# folder.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qt6-qpa-plugins (>= 6.4), qt6-translations-l10n, libengine-gost-openssl, p7zip-full (>= 16.02+really23), \
fonts-dejavu-core, xdg-utils")
include(CPack)
