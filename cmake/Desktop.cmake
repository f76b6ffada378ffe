# The page, the icon, the desktop entry and the AppStream metainfo: laid out in the build
# tree exactly as installed (share/ beside src/, where the program looks for them), installed
# under the prefix, and packaged by CPack as a Debian package (cpack -G DEB).
set(linux_dir ${PROJECT_SOURCE_DIR}/resources/linux)
set(app_id com.zuvo.devicecenter)

# Build tree: links, so a change to the page shows at the next start without a rebuild.
set(stage ${PROJECT_BINARY_DIR}/share)
file(MAKE_DIRECTORY ${stage}/nimbra ${stage}/icons/hicolor/256x256/apps
     ${stage}/icons/hicolor/scalable/apps)
file(CREATE_LINK ${PROJECT_SOURCE_DIR}/resources/web ${stage}/nimbra/web SYMBOLIC)
# The udev rule beside the page: a program that is not installed offers the command that
# installs it from here when it may not open the device.
file(CREATE_LINK ${linux_dir}/70-nimbra.rules ${stage}/nimbra/70-nimbra.rules SYMBOLIC)
file(CREATE_LINK ${linux_dir}/${app_id}.png ${stage}/icons/hicolor/256x256/apps/${app_id}.png
     SYMBOLIC)
file(CREATE_LINK ${linux_dir}/${app_id}.svg ${stage}/icons/hicolor/scalable/apps/${app_id}.svg
     SYMBOLIC)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/resources/web/ DESTINATION ${CMAKE_INSTALL_DATADIR}/nimbra/web)
install(FILES ${linux_dir}/${app_id}.png
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps)
install(FILES ${linux_dir}/${app_id}.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${linux_dir}/${app_id}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
include(${CMAKE_CURRENT_LIST_DIR}/Metainfo.cmake)
install(FILES ${nimbra_metainfo} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${linux_dir}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${linux_dir}/debian/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
        RENAME nimbra)
# Debian wants both compressed, reproducibly (no name or time stamp in the gzip header).
foreach(source changelog nimbra.1)
  execute_process(COMMAND gzip -9nc ${linux_dir}/${source}
                  OUTPUT_FILE ${PROJECT_BINARY_DIR}/${source}.gz)
endforeach()
install(FILES ${PROJECT_BINARY_DIR}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_BINARY_DIR}/nimbra.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME nimbra)
set(CPACK_PACKAGE_VENDOR zuvo)
set(CPACK_PACKAGE_CONTACT "zuvo <support@zuvo.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop companion for the IQOS ILUMA i ONE")
set(CPACK_PACKAGE_DESCRIPTION
    "nimbra reads, configures and looks after an IQOS ILUMA i ONE connected
by USB, and keeps what it reads in encrypted local files.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Not found by dpkg-shlibdeps: the session bus the single-instance application registers on.
# The font for the share picture's Chinese lines is recommended: without it only the Chinese
# page and picture lack glyphs.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "dbus-user-session | dbus-x11")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-microhei | fonts-noto-cjk")
# The maintainer scripts apply the udev rule at install and removal.
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${linux_dir}/debian/postinst ${linux_dir}/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
