# CLI11 for a cross build. The library is header-only, so the build host's headers serve any
# target; they are reached through a folder that holds nothing but them, so that the cross
# compiler never sees the host's other headers (its C library, its system headers).
find_path(KORVID_HOST_CLI11_INCLUDE CLI/CLI.hpp
          PATHS /usr/include /usr/local/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT KORVID_HOST_CLI11_INCLUDE)
  set(CLI11_FOUND FALSE)
  set(CLI11_NOT_FOUND_MESSAGE "CLI/CLI.hpp not found on the build host (Debian: libcli11-dev)")
  return()
endif()

if(NOT TARGET CLI11::CLI11)
  set(_korvid_cli11_folder ${CMAKE_BINARY_DIR}/host-cli11/include)
  file(MAKE_DIRECTORY ${_korvid_cli11_folder})
  file(CREATE_LINK ${KORVID_HOST_CLI11_INCLUDE}/CLI ${_korvid_cli11_folder}/CLI SYMBOLIC)
  add_library(CLI11::CLI11 INTERFACE IMPORTED)
  set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${_korvid_cli11_folder})
endif()
set(CLI11_FOUND TRUE)
