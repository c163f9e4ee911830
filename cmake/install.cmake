# Desktop integration and what `cmake --install` puts where.
#
#   <prefix>/lib/zelvan/           zelvan, zelvan-cli and rawdll.so: the programs load the RAW
#                                  plug-in from their own folder
#   <prefix>/bin/                  zelvan and zelvan-cli, links into lib/zelvan
#   <prefix>/share/zelvan/         lang.ini and the help pages, searched after the programs' folder
#   <prefix>/share/applications/   zelvan.desktop
#   <prefix>/share/icons/hicolor/  the application icon, 16 to 256 pixels and scalable
#   <prefix>/share/metainfo/       the AppStream description software centres list
#   <prefix>/share/man/man1/       zelvan-cli's manual page, made at build time (help2man)
#   <prefix>/share/bash-completion/, <prefix>/share/zsh/   zelvan-cli's completion
#   <prefix>/share/doc/zelvan/     the licence (copyright)
include(GNUInstallDirs)

set(ZELVAN_PROGRAM_DIR ${CMAKE_INSTALL_LIBDIR}/zelvan)
set(ZELVAN_SHARE_DIR ${CMAKE_INSTALL_DATADIR}/zelvan)
set(ZELVAN_HELP_FILES ${PROJECT_SOURCE_DIR}/help/help_en.html ${PROJECT_SOURCE_DIR}/help/help_ru.html)
set(ZELVAN_ICON_SIZES 16 32 48 64 128 256)

# The help pages sit beside the built programs, as lang.ini does.
foreach(help ${ZELVAN_HELP_FILES})
  get_filename_component(name ${help} NAME)
  configure_file(${help} ${CMAKE_BINARY_DIR}/${name} COPYONLY)
endforeach()

install(TARGETS zelvan zelvan-cli RUNTIME DESTINATION ${ZELVAN_PROGRAM_DIR})
install(TARGETS rawdll LIBRARY DESTINATION ${ZELVAN_PROGRAM_DIR})

# Relative links, so that the installed tree can be moved or packaged (DESTDIR) as a whole.
file(RELATIVE_PATH ZELVAN_BIN_TO_PROGRAMS /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${ZELVAN_PROGRAM_DIR})
foreach(program zelvan zelvan-cli)
  install(CODE "
    set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\")
    file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
    message(STATUS \"Installing: \${link} -> ${ZELVAN_BIN_TO_PROGRAMS}/${program}\")
    file(CREATE_LINK \"${ZELVAN_BIN_TO_PROGRAMS}/${program}\" \"\${link}\" SYMBOLIC)
  ")
endforeach()

install(FILES ${PROJECT_SOURCE_DIR}/lang.ini ${ZELVAN_HELP_FILES} DESTINATION ${ZELVAN_SHARE_DIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/data/recipes DESTINATION ${ZELVAN_SHARE_DIR} FILES_MATCHING PATTERN "*.ini")
install(FILES ${PROJECT_SOURCE_DIR}/data/zelvan.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
foreach(size ${ZELVAN_ICON_SIZES})
  install(FILES ${PROJECT_SOURCE_DIR}/data/icons/zelvan-${size}.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps RENAME zelvan.png)
endforeach()
install(FILES ${PROJECT_SOURCE_DIR}/data/icons/zelvan.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# The desktop entry must stay valid for the desktops that read it.
if(ZELVAN_TESTS)
  find_program(DESKTOP_FILE_VALIDATE desktop-file-validate)
  if(DESKTOP_FILE_VALIDATE)
    add_test(NAME desktop_entry_valid COMMAND ${DESKTOP_FILE_VALIDATE} ${PROJECT_SOURCE_DIR}/data/zelvan.desktop)
  endif()
endif()

install(FILES ${PROJECT_SOURCE_DIR}/data/zelvan.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo
        RENAME org.zelvan.Zelvan.metainfo.xml)
install(FILES ${PROJECT_SOURCE_DIR}/data/completion/zelvan-cli.bash
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME zelvan-cli)
install(FILES ${PROJECT_SOURCE_DIR}/data/completion/_zelvan-cli DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)
install(FILES ${PROJECT_SOURCE_DIR}/data/copyright DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zelvan)

# zelvan-cli's manual page, from the program itself: --help, --version and --list-options.
find_program(HELP2MAN help2man)
if(HELP2MAN)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/zelvan-cli.1
    COMMAND ${CMAKE_COMMAND} -DCLI=$<TARGET_FILE:zelvan-cli> -DHELP2MAN=${HELP2MAN}
            -DSECTIONS=${PROJECT_SOURCE_DIR}/data/zelvan-cli.h2m -DOUT=${CMAKE_BINARY_DIR}/zelvan-cli.1
            -P ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake
    DEPENDS zelvan-cli ${PROJECT_SOURCE_DIR}/data/zelvan-cli.h2m ${PROJECT_SOURCE_DIR}/cmake/man_page.cmake
    COMMENT "Writing zelvan-cli.1")
  add_custom_target(zelvan_cli_manual ALL DEPENDS ${CMAKE_BINARY_DIR}/zelvan-cli.1)
  install(FILES ${CMAKE_BINARY_DIR}/zelvan-cli.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
else()
  message(WARNING "help2man not found: zelvan-cli's manual page is not made (scripts/install-deps.sh installs it)")
endif()

# The Debian package: cpack -G DEB in a build configured with -DCMAKE_INSTALL_PREFIX=/usr
# (scripts/package-deb.sh). Its library dependencies come from dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME zelvan)
set(CPACK_PACKAGE_VENDOR "The Zelvan developers")
set(CPACK_PACKAGE_CONTACT "support@zelvan.org")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "batch image converter: convert, resize, rename and stamp many images")
set(CPACK_PACKAGE_DESCRIPTION "Zelvan converts many image files at once: JPEG, PNG, GIF, BMP, TIFF, Targa,\n JPEG 2000, WebP, AVIF, JPEG XL, HEIC and camera RAW in; resized, stamped with a\n text, renamed by a mask. zelvan-cli runs the same conversion for scripts.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The text stamp's faces, which no library links (dpkg-shlibdeps cannot see them).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation, fonts-dejavu-core")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://www.zelvan.org/")
set(CPACK_STRIP_FILES ON)
include(CPack)
