# What `cmake --install` puts where, relative to the install prefix (GNUInstallDirs), so that the
# same rules serve a local install and the Debian package (scripts/package.sh): the program, its
# applications-menu entry, its icons in the hicolor theme, its AppStream metainfo and its man page.
include(GNUInstallDirs)
set(app_id app.peltwick.importer) # also the program's autostart entry and its icon names
set(icons ${CMAKE_INSTALL_DATADIR}/icons/hicolor)

install(TARGETS PeltwickImporter RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET peltwick_eds) # GNOME's address book, loaded on the first pass
    install(TARGETS peltwick_eds LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/peltwick-importer)
endif()
install(FILES data/${app_id}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES data/${app_id}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
configure_file(data/PeltwickImporter.1.in PeltwickImporter.1 @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/PeltwickImporter.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The colour icon is the picture the program also embeds as its fallback (src/qt). The PNGs are
# rendered from it and committed; after changing it, render them again with librsvg2-bin:
#   for s in 16 22 24 32 48 64 128 256; do rsvg-convert -w $s -h $s resources/peltwick-importer.svg \
#       -o data/icons/$s/app.peltwick.importer.png; done
install(FILES resources/peltwick-importer.svg DESTINATION ${icons}/scalable/apps RENAME ${app_id}.svg)
foreach(size 16 22 24 32 48 64 128 256)
    install(FILES data/icons/${size}/${app_id}.png DESTINATION ${icons}/${size}x${size}/apps)
endforeach()
# One colour for panels that recolour their icons (status-notifier hosts, GNOME, KDE Plasma).
install(FILES resources/peltwick-importer-symbolic.svg DESTINATION ${icons}/symbolic/apps RENAME ${app_id}-symbolic.svg)
