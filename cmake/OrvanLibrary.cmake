# orvan_add_shared_library(<name>)
# A deliverable library of the folder it is called from: src/**/*.cpp compiled once into
# <name>_objects; <name>_core, a static library of those objects that tests link to reach the
# internals; and lib<name>.so, which exports only what <name>.map lets through. Installed are
# lib<name>.so with its soname links (in the export set <name>, for a package of the folder's
# own) and the headers of include/; the internal static libraries never are.
function(orvan_add_shared_library name)
  set(here ${CMAKE_CURRENT_SOURCE_DIR})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${here}/src/*.cpp)
  set(dependencies orvan_platform orvan_protocol Boost::system Boost::thread Boost::regex
      Boost::program_options Boost::filesystem OpenSSL::SSL OpenSSL::Crypto Threads::Threads)
  # lib<name>.so links them through one interface target: its installed package then names none
  # of them, where it would otherwise list the shared ones (Boost's) as private dependencies.
  add_library(${name}_dependencies INTERFACE)
  target_link_libraries(${name}_dependencies INTERFACE ${dependencies})

  add_library(${name}_objects OBJECT ${sources})
  target_include_directories(${name}_objects PUBLIC ${here}/include ${here}/src)
  target_link_libraries(${name}_objects PUBLIC ${dependencies})

  add_library(${name}_core STATIC $<TARGET_OBJECTS:${name}_objects>)
  target_link_libraries(${name}_core PUBLIC ${name}_objects)

  add_library(${name} SHARED $<TARGET_OBJECTS:${name}_objects>)
  target_include_directories(${name} INTERFACE $<BUILD_INTERFACE:${here}/include>
                                               $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${name} PRIVATE ${name}_dependencies)
  target_link_options(${name} PRIVATE -Wl,--version-script=${here}/${name}.map -Wl,--exclude-libs,ALL)
  set_target_properties(${name} PROPERTIES LINK_DEPENDS ${here}/${name}.map
                                           VERSION ${PROJECT_VERSION} SOVERSION 1)

  install(TARGETS ${name} EXPORT ${name} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(DIRECTORY ${here}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endfunction()
