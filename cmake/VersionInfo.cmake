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

# ombrel_event_messages(MC file.mc)
# The message table of the service's events: the mingw-w64 message compiler
# (windmc, Debian's binutils-mingw-w64-x86-64) makes from the .mc a header of
# the ids, which the platform code is checked against, and a resource script
# carrying the table, which ombrel_event_table adds to an executable.
function(ombrel_event_messages)
  cmake_parse_arguments(E "" "MC" "" ${ARGN})
  if(NOT WIN32)
    return()
  endif()
  find_program(OMBREL_WINDMC NAMES x86_64-w64-mingw32-windmc REQUIRED)
  set(dir ${CMAKE_BINARY_DIR}/events)
  get_filename_component(stem ${E_MC} NAME_WE)
  add_custom_command(
    OUTPUT ${dir}/${stem}.h ${dir}/${stem}.rc ${dir}/MSG00409.bin
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${OMBREL_WINDMC} -h ${dir} -r ${dir} ${E_MC}
    DEPENDS ${E_MC}
    VERBATIM)
  add_custom_target(ombrel_event_messages DEPENDS ${dir}/${stem}.h ${dir}/${stem}.rc)
  set_property(GLOBAL PROPERTY OMBREL_EVENT_DIR ${dir})
  set_property(GLOBAL PROPERTY OMBREL_EVENT_RC ${dir}/${stem}.rc)
endfunction()

# ombrel_event_table(TARGET): the executable carries the message table.
function(ombrel_event_table target)
  if(NOT WIN32)
    return()
  endif()
  get_property(rc GLOBAL PROPERTY OMBREL_EVENT_RC)
  target_sources(${target} PRIVATE ${rc})
  add_dependencies(${target} ombrel_event_messages)
endfunction()
