# demo-catalog: packs the demo updates of examples/server with quon-pack and
# puts them with catalog.ini into ${CMAKE_BINARY_DIR}/demo-server, ready for
# quon-update-server --root.

set(QUON_DEMO_SERVER_DIR ${CMAKE_BINARY_DIR}/demo-server CACHE INTERNAL "Root of the demo update server")
set(_src ${PROJECT_SOURCE_DIR}/examples/server)
set(_out ${QUON_DEMO_SERVER_DIR})

# _quon_demo_archive(NAME SOURCE_DIR ARGS...): one archive, rebuilt when
# quon-pack or a file of SOURCE_DIR changes.
function(_quon_demo_archive name dir)
  file(GLOB_RECURSE _inputs CONFIGURE_DEPENDS ${_src}/${dir}/*)
  add_custom_command(
    OUTPUT ${_out}/${name}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_out}
    COMMAND quon-pack -o ${_out}/${name} -C ${_src}/${dir} ${ARGN}
    DEPENDS quon-pack ${_inputs}
    COMMENT "Packing demo update ${name}"
    VERBATIM)
  set_property(GLOBAL APPEND PROPERTY QUON_DEMO_OUTPUTS ${_out}/${name})
endfunction()

_quon_demo_archive(quon-6.0-sp1.cab sp1
  --name "Quon 6.0 Service Pack 1"
  --description "Solver and mesher libraries of build 6.0.122.3 and the updated help."
  QSolver.dll QMesh.dll Help/Quon.chm
  --module 3
  --name "Composite Materials module"
  --description "Puck failure criterion for the unidirectional laminates."
  Materials/Composites.mlib)

_quon_demo_archive(materials-2026-02.cab materials-2026-02
  --name "Material library refresh (February 2026)"
  --description "Structural steels and aluminium alloys, revision 2026-02."
  Materials/Metals.mlib)

_quon_demo_archive(quon-6.0.122-hotfix4.cab hotfix-122-4
  --name "Mesher hotfix 6.0.122.4"
  --description "Thin shells no longer stop the surface mesher."
  QMesh.dll)

add_custom_command(
  OUTPUT ${_out}/catalog.ini
  COMMAND ${CMAKE_COMMAND} -E make_directory ${_out}
  COMMAND ${CMAKE_COMMAND} -E copy_if_different ${_src}/catalog.ini ${_out}/catalog.ini
  DEPENDS ${_src}/catalog.ini
  VERBATIM)

get_property(_demo_outputs GLOBAL PROPERTY QUON_DEMO_OUTPUTS)
add_custom_target(demo-catalog ALL DEPENDS ${_demo_outputs} ${_out}/catalog.ini)
