# ix_library(NAME SOURCES ... DEPS ... [PRIVATE_DEPS ...])
# One static library per subsystem, installed and exported as ixmail::NAME. A subsystem with no
# sources yet is an interface target, so the link graph is complete from the start.
function(ix_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS;PRIVATE_DEPS" ${ARGN})
  if(ARG_SOURCES)
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC
      $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/src>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/ixmail>)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE
      $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/src>
      $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/ixmail>)
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
  add_library(ixmail::${name} ALIAS ${name})
  install(TARGETS ${name} EXPORT ixmailTargets ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  file(GLOB headers ${CMAKE_CURRENT_SOURCE_DIR}/*.h)
  get_filename_component(folder ${CMAKE_CURRENT_SOURCE_DIR} NAME)
  install(FILES ${headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/ixmail/${folder})
endfunction()

# Adds every folder below the current one that has a CMakeLists.txt (benchmark and fuzz areas).
function(ix_add_area_subdirectories)
  file(GLOB areas LIST_DIRECTORIES true ${CMAKE_CURRENT_SOURCE_DIR}/*)
  foreach(area ${areas})
    if(IS_DIRECTORY ${area} AND EXISTS ${area}/CMakeLists.txt)
      add_subdirectory(${area})
    endif()
  endforeach()
endfunction()
