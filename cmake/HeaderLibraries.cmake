# nlohmann-json and CLI11 as Debian installs them (nlohmann-json3-dev, libcli11-dev),
# for the native and the MinGW-w64 build alike. Both are header-only; the cross
# build must not see the rest of /usr/include, so each library's own folder is
# linked into a folder of the build and only that is searched.
foreach(header nlohmann/json.hpp CLI/CLI.hpp)
    get_filename_component(folder ${header} DIRECTORY)
    find_path(CORVALEN_${folder}_INCLUDE_DIR ${header} PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
    file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/header-libraries)
    file(CREATE_LINK ${CORVALEN_${folder}_INCLUDE_DIR}/${folder} ${PROJECT_BINARY_DIR}/header-libraries/${folder}
         SYMBOLIC)
endforeach()

add_library(corvalen_header_libraries INTERFACE)
target_include_directories(corvalen_header_libraries SYSTEM INTERFACE ${PROJECT_BINARY_DIR}/header-libraries)
