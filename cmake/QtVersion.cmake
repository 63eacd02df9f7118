# The Qt everything here builds against: the module, the stand-ins, the tests, the
# benchmarks and the demo. KEELANR_QT_MAJOR is 5 (the host SDK's Qt), 6, or auto (Qt 5 when
# installed, else Qt 6). All targets link Qt's versionless targets (Qt::Core, Qt::Gui,
# Qt::GuiPrivate), which Qt 5.15 provides as well; KEELANR_QT_VERSION_MAJOR holds the
# choice for the installed names (cmake/Install.cmake).
set(KEELANR_QT_MAJOR 5 CACHE STRING "Qt major version to build against: 5, 6 or auto")
set_property(CACHE KEELANR_QT_MAJOR PROPERTY STRINGS 5 6 auto)

set(keelanrQtComponents Core Gui)
if(KEELANR_QT_MAJOR STREQUAL "auto")
    find_package(Qt5 5.15 QUIET COMPONENTS ${keelanrQtComponents})
    if(Qt5_FOUND)
        set(KEELANR_QT_VERSION_MAJOR 5)
    else()
        find_package(Qt6 6.2 REQUIRED COMPONENTS ${keelanrQtComponents})
        set(KEELANR_QT_VERSION_MAJOR 6)
    endif()
elseif(KEELANR_QT_MAJOR STREQUAL "5")
    find_package(Qt5 5.15 REQUIRED COMPONENTS ${keelanrQtComponents})
    set(KEELANR_QT_VERSION_MAJOR 5)
elseif(KEELANR_QT_MAJOR STREQUAL "6")
    find_package(Qt6 6.2 REQUIRED COMPONENTS ${keelanrQtComponents})
    set(KEELANR_QT_VERSION_MAJOR 6)
else()
    message(FATAL_ERROR "KEELANR_QT_MAJOR is '${KEELANR_QT_MAJOR}'; use 5, 6 or auto")
endif()
message(STATUS "Building against Qt ${KEELANR_QT_VERSION_MAJOR}")
