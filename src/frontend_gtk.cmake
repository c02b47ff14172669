# The Linux desktop front end: GTK 3 windows, WebKit2GTK 4.1 as the browser
# control, X11 for the product-window detection. Included by
# src/CMakeLists.txt when the GUI is built on Linux.

find_package(PkgConfig REQUIRED)
pkg_check_modules(QUON_GTK REQUIRED IMPORTED_TARGET GLOBAL gtk+-3.0 webkit2gtk-4.1)
find_package(X11 REQUIRED)

# Product-window detection on X11 (no GTK: the tests use it on their own).
add_library(quon_x11 STATIC ${CMAKE_CURRENT_SOURCE_DIR}/app/windows_x11.cpp)
target_link_libraries(quon_x11 PUBLIC quon_core X11::X11)

# The views and dialogs.
file(GLOB _gtk_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/app/*_gtk.cpp)
list(FILTER _gtk_sources EXCLUDE REGEX "/main_gtk\\.cpp$")
add_library(quon_gtk STATIC ${_gtk_sources})
target_link_libraries(quon_gtk PUBLIC quon_x11 quon_platform quon_core PkgConfig::QUON_GTK X11::X11)
# The pictures are XPM text, compiled in.
target_include_directories(quon_gtk PRIVATE ${PROJECT_SOURCE_DIR}/res)

add_executable(QuonUpdate ${CMAKE_CURRENT_SOURCE_DIR}/app/main_gtk.cpp)
target_link_libraries(QuonUpdate PRIVATE quon_gtk)
foreach(_t quon_x11 quon_gtk QuonUpdate)
  if(CMAKE_CXX_COMPILER_ID MATCHES "GNU|Clang")
    target_compile_options(${_t} PRIVATE -Wall -Wextra)
  endif()
endforeach()

# A stand-in QUON.EXE of the installed version 6.0.121.3 for the demo and the
# GUI tests' sample product directories (needs the mingw-w64 tools).
if(QUON_MINGW_WINDRES AND QUON_MINGW_CC)
  quon_add_sample_exe(TARGET quon-demo-exe OUTPUT ${CMAKE_BINARY_DIR}/demo-product-files/QUON.EXE
                      PRODUCT_VERSION "6, 0, 3, 121")
  set(QUON_DEMO_EXE ${CMAKE_BINARY_DIR}/demo-product-files/QUON.EXE CACHE INTERNAL "Sample QUON.EXE")
endif()
