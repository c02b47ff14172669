# The Windows front end: QuonUpdate.exe (WIN32 subsystem) on quon_core and
# quon_platform, its resources, and the package-win zip.

find_package(Python3 REQUIRED COMPONENTS Interpreter)

set(_quon_res_dir ${PROJECT_SOURCE_DIR}/res)
set(_quon_res_gen ${CMAKE_CURRENT_BINARY_DIR}/res-gen)
file(MAKE_DIRECTORY ${_quon_res_gen})
set(_quon_resgen ${PROJECT_SOURCE_DIR}/tools/resgen/xpm2res.py)
set(_quon_anim_frames)
foreach(i 1 2 3 4 5 6)
  list(APPEND _quon_anim_frames ${_quon_res_dir}/anim-${i}.xpm)
endforeach()

# Icon 128 and animation 130 from the same pictures the Linux front end shows.
add_custom_command(
  OUTPUT ${_quon_res_gen}/QuonUpdate.ico
  COMMAND Python3::Interpreter ${_quon_resgen} ico ${_quon_res_gen}/QuonUpdate.ico
          ${_quon_res_dir}/icon-32.xpm ${_quon_res_dir}/icon-16.xpm
  DEPENDS ${_quon_resgen} ${_quon_res_dir}/icon-32.xpm ${_quon_res_dir}/icon-16.xpm
  COMMENT "Building the application icon from the XPM pictures")
add_custom_command(
  OUTPUT ${_quon_res_gen}/QuonWait.avi
  COMMAND Python3::Interpreter ${_quon_resgen} avi ${_quon_res_gen}/QuonWait.avi ${_quon_anim_frames}
  DEPENDS ${_quon_resgen} ${_quon_anim_frames}
  COMMENT "Building the wait animation from the XPM pictures")
add_custom_target(quon_win_pictures DEPENDS ${_quon_res_gen}/QuonUpdate.ico ${_quon_res_gen}/QuonWait.avi)

# The resources, linked into the program and into the tests that load them.
add_library(quon_win_res OBJECT ${_quon_res_dir}/QuonUpdate.rc)
target_include_directories(quon_win_res PRIVATE ${_quon_res_dir} ${_quon_res_gen})
set_source_files_properties(${_quon_res_dir}/QuonUpdate.rc PROPERTIES
  OBJECT_DEPENDS "${_quon_res_gen}/QuonUpdate.ico;${_quon_res_gen}/QuonWait.avi;${_quon_res_dir}/resource.h;${_quon_res_dir}/QuonUpdate.exe.manifest")
add_dependencies(quon_win_res quon_win_pictures)

# The views, the dialog framework and the browser host.
file(GLOB _quon_win_ui_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/app/*_win.cpp)
list(FILTER _quon_win_ui_sources EXCLUDE REGEX "/main_win\\.cpp$")
add_library(quon_win_ui STATIC ${_quon_win_ui_sources})
target_include_directories(quon_win_ui PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${_quon_res_dir})
target_link_libraries(quon_win_ui PUBLIC quon_platform quon_core ole32 oleaut32 uuid comctl32 wininet version shlwapi)
target_compile_definitions(quon_win_ui PUBLIC WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601 WINVER=0x0601)
target_compile_options(quon_win_ui PRIVATE -Wall -Wextra)

add_executable(QuonUpdate WIN32 ${CMAKE_CURRENT_SOURCE_DIR}/app/main_win.cpp $<TARGET_OBJECTS:quon_win_res>)
target_link_libraries(QuonUpdate PRIVATE quon_win_ui)
set_target_properties(QuonUpdate PROPERTIES OUTPUT_NAME QuonUpdate RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
# What customers run carries no symbols in release builds.
target_link_options(QuonUpdate PRIVATE $<$<CONFIG:Release,MinSizeRel>:-s>)

# package-win: QuonUpdate.exe and CABLIB.DLL in one zip.
set(QUON_WIN_PACKAGE ${CMAKE_BINARY_DIR}/QuonUpdate-${PROJECT_VERSION}-win32.zip CACHE INTERNAL "The package-win zip")
set(_quon_pkg_dir ${CMAKE_BINARY_DIR}/package-win CACHE INTERNAL "Staging directory of package-win")
# CABLIB.DLL is defined later in the tree: decide at the end of the
# top-level directory.
function(_quon_define_package_win)
  set(files $<TARGET_FILE:QuonUpdate>)
  set(names QuonUpdate.exe)
  set(deps QuonUpdate)
  if(TARGET cablib)
    list(APPEND files $<TARGET_FILE:cablib>)
    list(APPEND names CABLIB.DLL)
    list(APPEND deps cablib)
  else()
    message(WARNING "package-win: no cablib target, the zip holds QuonUpdate.exe only")
  endif()
  # With QUON_CODESIGN_CERT and QUON_CODESIGN_KEY the staged copies are
  # signed before they are zipped.
  list(TRANSFORM names PREPEND ${_quon_pkg_dir}/ OUTPUT_VARIABLE staged)
  quon_codesign_commands(sign ${staged})
  add_custom_target(package-win
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${_quon_pkg_dir} ${QUON_WIN_PACKAGE}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_quon_pkg_dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${files} ${_quon_pkg_dir}
    ${sign}
    COMMAND ${CMAKE_COMMAND} -E chdir ${_quon_pkg_dir} zip -q -X ${QUON_WIN_PACKAGE} ${names}
    DEPENDS ${deps}
    COMMENT "Packaging ${QUON_WIN_PACKAGE}"
    VERBATIM)
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL _quon_define_package_win)
