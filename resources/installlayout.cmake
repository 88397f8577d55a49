# Installs the build into STAGE and checks that each desktop file lands where
# menus, icon themes and software centres look for it.
file(REMOVE_RECURSE ${STAGE})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${STAGE}
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed")
endif()

set(expected
    bin/corvalen
    bin/corvalen-cli
    share/applications/corvalen.desktop
    share/metainfo/example.corvalen.Corvalen.metainfo.xml
    share/icons/hicolor/scalable/apps/corvalen.svg
    share/man/man1/corvalen.1.gz
    share/man/man1/corvalen-cli.1.gz
    share/doc/corvalen/copyright
    share/doc/corvalen/changelog.Debian.gz
    share/doc/corvalen-cli/copyright
    share/doc/corvalen-cli/changelog.Debian.gz
    lib/systemd/system/corvalen-cli.service
)
foreach(size 16 32 48 64 128)
    list(APPEND expected share/icons/hicolor/${size}x${size}/apps/corvalen.png)
endforeach()

set(missing)
foreach(path IN LISTS expected)
    if(NOT EXISTS ${STAGE}/${path})
        list(APPEND missing ${path})
    endif()
endforeach()
# Each themed PNG must be as large as the folder it is in says.
foreach(size 16 32 48 64 128)
    set(png ${STAGE}/share/icons/hicolor/${size}x${size}/apps/corvalen.png)
    if(EXISTS ${png})
        file(READ ${png} header OFFSET 16 LIMIT 8 HEX)
        string(SUBSTRING ${header} 0 8 width)
        string(SUBSTRING ${header} 8 8 height)
        math(EXPR width "0x${width}")
        math(EXPR height "0x${height}")
        if(NOT width EQUAL size OR NOT height EQUAL size)
            list(APPEND missing "${size}x${size} icon (it is ${width}x${height})")
        endif()
    endif()
endforeach()

file(REMOVE_RECURSE ${STAGE})
if(missing)
    message(FATAL_ERROR "Not installed right: ${missing}")
endif()
