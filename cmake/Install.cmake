# Installation. The programs go to bin/ in both layouts. Under a prefix of its own (the default,
# scripts/install.sh) the store and help lie beside them: etc/isprops.xml, help/. As a system
# package (TARN_SYSTEM_LAYOUT, prefix /usr) they lie in share/tarn, read-only, and each user's
# programs work on a store of their own made from that one (model/storelocation.h); the
# package also carries the QGIS plugin, a menu entry for the editor and manual pages.

if(NOT TARN_SYSTEM_LAYOUT)
    install(DIRECTORY help/ DESTINATION help)
    # Never overwrite a store that an earlier installation's users have edited.
    install(CODE "
        set(store \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/etc/isprops.xml\")
        if(NOT EXISTS \"\${store}\")
            file(INSTALL \"${PROJECT_SOURCE_DIR}/etc/isprops.xml\" DESTINATION \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/etc\")
        else()
            message(STATUS \"Keeping existing store: \${store}\")
        endif()
    ")
    return()
endif()

install(FILES etc/isprops.xml DESTINATION share/tarn)
install(DIRECTORY help/ DESTINATION share/tarn/help)
# QGIS finds plugins in its own plugin folder without a link from the user's profile.
install(DIRECTORY qgis/tarn DESTINATION share/qgis/python/plugins
        PATTERN __pycache__ EXCLUDE PATTERN programs.txt EXCLUDE)
install(FILES packaging/tarnProps.desktop DESTINATION share/applications)
install(FILES qgis/tarn/icon.svg DESTINATION share/icons/hicolor/scalable/apps RENAME tarnProps.svg)

# Manual pages from each program's --help and --version.
find_program(HELP2MAN help2man REQUIRED)
find_program(GZIP gzip REQUIRED)
set(tarn_manuals
    "tarn-analyze|impervious surface analysis of land cover and polygons"
    "tarn-store|the coefficient store on the command line"
    "tarnhost|stand-in GIS host for the TARN programs"
    "tarnProps|coefficient editor"
    "tarn|impervious surface analysis launcher")
set(tarn_manual_files)
foreach(entry IN LISTS tarn_manuals)
    string(REPLACE "|" ";" entry "${entry}")
    list(GET entry 0 program)
    list(GET entry 1 summary)
    set(page ${PROJECT_BINARY_DIR}/man/${program}.1)
    add_custom_command(OUTPUT ${page}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        COMMAND ${HELP2MAN} --no-info --no-discard-stderr --section=1 --name=${summary}
                --output=${page} $<TARGET_FILE:${program}>
        COMMAND ${GZIP} -9nf ${page}
        DEPENDS ${program}
        COMMENT "Manual page of ${program}")
    list(APPEND tarn_manual_files ${page}.gz)
endforeach()
add_custom_target(manuals ALL DEPENDS ${tarn_manual_files})
install(FILES ${tarn_manual_files} DESTINATION share/man/man1)

# Debian's copyright file and changelog, which every package carries.
set(changelog ${PROJECT_BINARY_DIR}/packaging/changelog)
string(TIMESTAMP tarn_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(packaging/changelog.in ${changelog} @ONLY)
add_custom_command(OUTPUT ${changelog}.gz COMMAND ${GZIP} -9nf -k ${changelog}
                   DEPENDS ${changelog})
add_custom_target(changelog ALL DEPENDS ${changelog}.gz)
install(FILES packaging/copyright ${changelog}.gz DESTINATION share/doc/tarn)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarn)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "TARN developers <tarn@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "impervious surface estimates from land cover coefficients")
set(CPACK_PACKAGE_DESCRIPTION
    "TARN estimates how much of each polygon of a GIS layer (parcels, catchments,\n"
    "census blocks) is covered by impervious surface, from a land cover grid and a\n"
    "percent-impervious coefficient for each land cover class. It keeps named tables\n"
    "of those coefficients, prepares the analysis and runs it through GDAL. A QGIS\n"
    "plugin makes QGIS the host of its programs.")
string(REPLACE ";" "" CPACK_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The windows need Qt's platform plugins, which no library links.
set(CPACK_DEBIAN_PACKAGE_DEPENDS qt6-qpa-plugins)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS python3-qgis)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
include(CPack)
