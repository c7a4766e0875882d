# orvan_add_shared_library(<name>)
# A deliverable library of the folder it is called from: src/**/*.cpp compiled once into
# <name>_objects; <name>_core, a static library of those objects that tests link to reach the
# internals; and lib<name>.so, which exports only what <name>.map lets through.
function(orvan_add_shared_library name)
  set(here ${CMAKE_CURRENT_SOURCE_DIR})
  file(GLOB_RECURSE sources CONFIGURE_DEPENDS ${here}/src/*.cpp)
  set(dependencies orvan_platform orvan_protocol Boost::system Boost::thread Boost::regex
      Boost::program_options Boost::filesystem OpenSSL::SSL OpenSSL::Crypto Threads::Threads)

  add_library(${name}_objects OBJECT ${sources})
  target_include_directories(${name}_objects PUBLIC ${here}/include ${here}/src)
  target_link_libraries(${name}_objects PUBLIC ${dependencies})

  add_library(${name}_core STATIC $<TARGET_OBJECTS:${name}_objects>)
  target_link_libraries(${name}_core PUBLIC ${name}_objects)

  add_library(${name} SHARED $<TARGET_OBJECTS:${name}_objects>)
  target_include_directories(${name} INTERFACE ${here}/include)
  target_link_libraries(${name} PRIVATE ${dependencies})
  target_link_options(${name} PRIVATE -Wl,--version-script=${here}/${name}.map -Wl,--exclude-libs,ALL)
  set_target_properties(${name} PROPERTIES LINK_DEPENDS ${here}/${name}.map
                                           VERSION ${PROJECT_VERSION} SOVERSION 1)
endfunction()
