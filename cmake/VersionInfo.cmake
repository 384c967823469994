# ombrel_version_resource(TARGET NAME installed-file-name DESCRIPTION text)
# gives a Windows executable a version resource: FILEVERSION and
# PRODUCTVERSION are the project's version (set once, in the top
# CMakeLists.txt), OriginalFilename the name the file is installed under.
# The Linux port has no version resources; nothing is done there.
function(ombrel_version_resource target)
  cmake_parse_arguments(V "" "NAME;DESCRIPTION" "" ${ARGN})
  if(NOT WIN32)
    return()
  endif()
  set(OMBREL_VI_NAME ${V_NAME})
  set(OMBREL_VI_DESCRIPTION ${V_DESCRIPTION})
  get_filename_component(OMBREL_VI_INTERNAL ${V_NAME} NAME_WE)
  set(OMBREL_VI_DOTS ${PROJECT_VERSION})
  string(REPLACE "." "," OMBREL_VI_COMMAS ${PROJECT_VERSION})
  set(rc ${CMAKE_BINARY_DIR}/version/${target}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
