# Desktop integration and what `cmake --install` puts where.
#
#   <prefix>/lib/zelvan/           zelvan, zelvan-cli and rawdll.so: the programs load the RAW
#                                  plug-in from their own folder
#   <prefix>/bin/                  zelvan and zelvan-cli, links into lib/zelvan
#   <prefix>/share/zelvan/         lang.ini and the help pages, searched after the programs' folder
#   <prefix>/share/applications/   zelvan.desktop
#   <prefix>/share/icons/hicolor/  the application icon, 16 to 256 pixels and scalable
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
