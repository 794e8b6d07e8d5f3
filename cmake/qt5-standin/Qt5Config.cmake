# A stand-in for the Qt5 CMake package, for configuring the project for Windows on a machine that
# has no Qt for Windows (scripts/windows-configure-check). It declares the imported targets the
# project uses and nothing else: no headers, no libraries, so nothing can be compiled or linked
# against it. moc and uic point at the host's tools only so that CMake's automatic moc and uic
# steps can be set up.
set(Qt5_VERSION 5.15.2)
set(Qt5Core_VERSION_MAJOR 5)
set(Qt5Core_VERSION_MINOR 15)
set(Qt5Core_VERSION_PATCH 2)
set(Qt5Core_VERSION_STRING 5.15.2)

find_program(VELTORA_STANDIN_MOC NAMES moc PATHS /usr/lib/qt5/bin /usr/lib/x86_64-linux-gnu/qt5/bin NO_CMAKE_FIND_ROOT_PATH)
find_program(VELTORA_STANDIN_UIC NAMES uic PATHS /usr/lib/qt5/bin /usr/lib/x86_64-linux-gnu/qt5/bin NO_CMAKE_FIND_ROOT_PATH)
foreach(tool moc uic)
  string(TOUPPER ${tool} upper)
  if(NOT TARGET Qt5::${tool})
    add_executable(Qt5::${tool} IMPORTED)
    set_target_properties(Qt5::${tool} PROPERTIES IMPORTED_LOCATION "${VELTORA_STANDIN_${upper}}")
  endif()
endforeach()

foreach(component ${Qt5_FIND_COMPONENTS})
  if(NOT component MATCHES "^(Core|Gui|Widgets|SerialPort|Sql|Test)$")
    set(Qt5_${component}_FOUND FALSE)
    set(Qt5_FOUND FALSE)
    set(Qt5_NOT_FOUND_MESSAGE "the stand-in has no Qt5${component}")
    continue()
  endif()
  if(NOT TARGET Qt5::${component})
    add_library(Qt5::${component} INTERFACE IMPORTED)
    set_target_properties(Qt5::${component} PROPERTIES INTERFACE_QT_MAJOR_VERSION 5)
  endif()
  set(Qt5${component}_FOUND TRUE)
  set(Qt5_${component}_FOUND TRUE)
endforeach()
