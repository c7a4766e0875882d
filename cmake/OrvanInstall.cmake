# Where the installed tree goes (GNUInstallDirs' folders under CMAKE_INSTALL_PREFIX), and files
# that name their installed place.
include(GNUInstallDirs)

# orvan_install_configured(<template>.in <destination>)
# Installs <template> to <destination> (relative to the prefix) under its name without ".in",
# its @VARIABLE@s replaced when installing rather than when configuring: CMAKE_INSTALL_PREFIX and
# the CMAKE_INSTALL_FULL_<DIR> folders then name the prefix actually installed to, also when
# `cmake --install --prefix DIR` overrides the configured one, so a unit file's ExecStart or a
# pkg-config file's libdir never points where nothing was put. Every other variable keeps the
# value it has here.
function(orvan_install_configured template destination)
  get_filename_component(name ${template} NAME_WLE)
  set(staged ${CMAKE_CURRENT_BINARY_DIR}/installed/${name})
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${template})

  file(READ ${template} text)
  string(REGEX MATCHALL "@[A-Za-z0-9_]+@" references "${text}")
  list(REMOVE_DUPLICATES references)
  set(code "")
  foreach(reference IN LISTS references)
    string(REPLACE "@" "" variable ${reference})
    if(variable STREQUAL "CMAKE_INSTALL_PREFIX")
      continue()  # the install script's own
    elseif(variable MATCHES "^CMAKE_INSTALL_FULL_(.+)$")
      set(relative "${CMAKE_INSTALL_${CMAKE_MATCH_1}}")
      if(relative STREQUAL "")
        message(FATAL_ERROR "${template}: no install folder ${CMAKE_MATCH_1} for ${reference}")
      endif()
      string(APPEND code "set(${variable} [==[${relative}]==])\n"
                         "cmake_path(ABSOLUTE_PATH ${variable} BASE_DIRECTORY "
                         "\"\${CMAKE_INSTALL_PREFIX}\" NORMALIZE)\n")
    elseif(DEFINED ${variable})
      string(APPEND code "set(${variable} [==[${${variable}}]==])\n")
    else()
      message(FATAL_ERROR "${template}: ${reference} is not set")
    endif()
  endforeach()
  string(APPEND code
         "set(destination [==[${destination}]==])\n"
         "cmake_path(ABSOLUTE_PATH destination BASE_DIRECTORY \"\${CMAKE_INSTALL_PREFIX}\" "
         "NORMALIZE)\n"
         "configure_file([==[${template}]==] [==[${staged}]==] @ONLY)\n"
         # file(INSTALL) adds DESTDIR and records the file in the install manifest.
         "file(INSTALL DESTINATION \"\${destination}\" TYPE FILE FILES [==[${staged}]==])\n")
  install(CODE "${code}")
endfunction()
