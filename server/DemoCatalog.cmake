# The demo: the sample product's QUON.EXE (quon-demo-exe, installed version
# 6.0.121.3, in ${CMAKE_BINARY_DIR}/demo-product-files) and the updates the
# demo server offers it (demo-catalog: examples/server packed with quon-pack
# and put with catalog.ini into ${CMAKE_BINARY_DIR}/demo-server, ready for
# quon-update-server --root).
#
# The updater reads the installed version from the version resource of
# QUON.EXE, so each update carries a QUON.EXE whose version resource names
# the version that its catalog section "brings": an installed update is not
# offered again, the next one is, and after the last the product is up to
# date. Those versions are read from catalog.ini here, so the two cannot
# drift apart. The stand-ins need the mingw-w64 tools (quon_add_sample_exe).

if(NOT QUON_MINGW_WINDRES OR NOT QUON_MINGW_CC)
  message(STATUS "No i686-w64-mingw32 tools: no demo product and no demo catalog")
  return()
endif()

set(QUON_DEMO_SERVER_DIR ${CMAKE_BINARY_DIR}/demo-server CACHE INTERNAL "Root of the demo update server")
set(_src ${PROJECT_SOURCE_DIR}/examples/server)
set(_out ${QUON_DEMO_SERVER_DIR})
set(_stage ${CMAKE_BINARY_DIR}/demo-updates)

# _quon_demo_exe(TARGET OUTPUT VERSION): a stand-in QUON.EXE of the product
# version a.b.c.d, which the product's version resource writes as
# "a, b, d, c" (the updater shows "6, 0, 3, 121" as 6.0.121.3).
function(_quon_demo_exe target output version)
  if(NOT version MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
    message(FATAL_ERROR "demo: '${version}' is not a version a.b.c.d")
  endif()
  quon_add_sample_exe(TARGET ${target} OUTPUT ${output}
                      PRODUCT_VERSION "${CMAKE_MATCH_1}, ${CMAKE_MATCH_2}, ${CMAKE_MATCH_4}, ${CMAKE_MATCH_3}")
endfunction()

# The installed product, also the sample product of the GUI tests.
_quon_demo_exe(quon-demo-exe ${CMAKE_BINARY_DIR}/demo-product-files/QUON.EXE 6.0.121.3)
set(QUON_DEMO_EXE ${CMAKE_BINARY_DIR}/demo-product-files/QUON.EXE CACHE INTERNAL "Sample QUON.EXE")

# archive -> brings, from the catalog's sections.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_src}/catalog.ini)
file(STRINGS ${_src}/catalog.ini _catalog_lines)
foreach(_line IN LISTS _catalog_lines)
  if(_line MATCHES "^[ \t]*\\[")
    set(_archive "")
    set(_brings "")
  elseif(_line MATCHES "^[ \t]*archive[ \t]*=[ \t]*([^ \t]+)")
    set(_archive ${CMAKE_MATCH_1})
  elseif(_line MATCHES "^[ \t]*brings[ \t]*=[ \t]*([^ \t]+)")
    set(_brings ${CMAKE_MATCH_1})
  endif()
  if(_archive AND _brings)
    set(_quon_demo_brings_${_archive} ${_brings})
  endif()
endforeach()

# _quon_demo_archive(NAME FROM dir... PACK args...): the archive NAME of the
# files of examples/server/<dir>... and a QUON.EXE of the version the
# catalog says NAME brings, packed with quon-pack PACK (which lists
# QUON.EXE); rebuilt when quon-pack or a file of a dir changes.
function(_quon_demo_archive name)
  cmake_parse_arguments(ARG "" "" "FROM;PACK" ${ARGN})
  set(_version "${_quon_demo_brings_${name}}")
  if(NOT _version)
    message(FATAL_ERROR "demo: catalog.ini has no section with archive ${name} and its brings")
  endif()
  get_filename_component(_dir ${_stage}/${name} NAME_WLE)
  set(_dir ${_stage}/${_dir})
  _quon_demo_exe(quon-demo-exe-${_version} ${_dir}/QUON.EXE ${_version})
  set(_inputs "")
  set(_copies "")
  foreach(_from IN LISTS ARG_FROM)
    file(GLOB_RECURSE _files CONFIGURE_DEPENDS ${_src}/${_from}/*)
    list(APPEND _inputs ${_files})
    list(APPEND _copies COMMAND ${CMAKE_COMMAND} -E copy_directory ${_src}/${_from} ${_dir})
  endforeach()
  add_custom_command(
    OUTPUT ${_out}/${name}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_out}
    ${_copies}
    COMMAND quon-pack -o ${_out}/${name} -C ${_dir} ${ARG_PACK}
    DEPENDS quon-pack ${_inputs} ${_dir}/QUON.EXE
    COMMENT "Packing demo update ${name} (${_version})"
    VERBATIM)
  set_property(GLOBAL APPEND PROPERTY QUON_DEMO_OUTPUTS ${_out}/${name})
endfunction()

_quon_demo_archive(quon-6.0-sp1.cab FROM sp1 materials-2026-02 PACK
  --name "Quon 6.0 Service Pack 1"
  --description "Program, solver and mesher of build 6.0.122.3, the February 2026 material library and the updated help."
  QUON.EXE QSolver.dll QMesh.dll Help/Quon.chm Materials/Metals.mlib
  --module 3
  --name "Composite Materials module"
  --description "Puck failure criterion for the unidirectional laminates."
  Materials/Composites.mlib)

_quon_demo_archive(materials-2026-02.cab FROM materials-2026-02 PACK
  --name "Material library update (February 2026)"
  --description "Structural steels and aluminium alloys, revision 2026-02 (build 6.0.121.4)."
  QUON.EXE Materials/Metals.mlib)

_quon_demo_archive(quon-6.0.122-hotfix4.cab FROM hotfix-122-4 PACK
  --name "Mesher hotfix 6.0.122.4"
  --description "Thin shells no longer stop the surface mesher."
  QUON.EXE QMesh.dll)

add_custom_command(
  OUTPUT ${_out}/catalog.ini
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_out}
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${_src}/catalog.ini ${_out}/catalog.ini
  DEPENDS ${_src}/catalog.ini
  VERBATIM)

get_property(_demo_outputs GLOBAL PROPERTY QUON_DEMO_OUTPUTS)
add_custom_target(demo-catalog ALL DEPENDS ${_demo_outputs} ${_out}/catalog.ini)
