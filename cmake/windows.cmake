# Windows build (mingw-w64): TorvanOne.exe, the Windows test exe and the end-to-end driver.
enable_language(RC)

# One statically linked exe: no mingw runtime DLLs beside it.
add_link_options(-static -static-libgcc -static-libstdc++)

set(TORVAN_WIN_LIBS comctl32 comdlg32 gdi32 user32 advapi32 kernel32)

# The Win32 half of each folder, linked above its portable half: device/win32's port dialog
# and connection port, display/win32's windows and drawing, tools/win32's tool windows, and
# app/win32, the main window, which sits on all of them.
file(GLOB DEVICE_WIN_SOURCES CONFIGURE_DEPENDS device/win32/*.cpp)
list(FILTER DEVICE_WIN_SOURCES EXCLUDE REGEX "SerialPortWin32\\.cpp$|PortLockWin32\\.cpp$")
torvan_layer(torvan_device_win ${DEVICE_WIN_SOURCES})
target_link_libraries(torvan_device_win PUBLIC torvan_device ${TORVAN_WIN_LIBS})

file(GLOB DISPLAY_WIN_SOURCES CONFIGURE_DEPENDS display/win32/*.cpp)
torvan_layer(torvan_display_win ${DISPLAY_WIN_SOURCES})
target_link_libraries(torvan_display_win PUBLIC torvan_display ${TORVAN_WIN_LIBS})

file(GLOB TOOLS_WIN_SOURCES CONFIGURE_DEPENDS tools/win32/*.cpp)
torvan_layer(torvan_tools_win ${TOOLS_WIN_SOURCES})
target_link_libraries(torvan_tools_win PUBLIC torvan_tools torvan_display_win)

file(GLOB GUI_SOURCES CONFIGURE_DEPENDS app/win32/*.cpp)
list(FILTER GUI_SOURCES EXCLUDE REGEX
     "QueueSignalWin32\\.cpp$|Utf8FileWin32\\.cpp$|WinMain\\.cpp$")
torvan_layer(torvan_gui ${GUI_SOURCES})
target_link_libraries(torvan_gui PUBLIC torvan_app torvan_device_win torvan_display_win
                                        torvan_tools_win)

configure_file(resources/version.h.in ${CMAKE_BINARY_DIR}/generated/version.h @ONLY)
set(TORVAN_RC ${CMAKE_SOURCE_DIR}/resources/TorvanOne.rc)
set_source_files_properties(${TORVAN_RC} PROPERTIES
    INCLUDE_DIRECTORIES "${CMAKE_SOURCE_DIR}/resources;${CMAKE_BINARY_DIR}/generated")

add_executable(TorvanOne WIN32 app/win32/WinMain.cpp ${TORVAN_RC})
target_link_libraries(TorvanOne torvan_gui)

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
add_subdirectory(${GTEST_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

file(GLOB WIN_TESTS CONFIGURE_DEPENDS tests/win/*.cpp)
add_executable(TorvanWinTests ${WIN_TESTS} ${TORVAN_RC})
target_link_libraries(TorvanWinTests torvan_gui GTest::gtest_main)
target_include_directories(TorvanWinTests PRIVATE ${CMAKE_SOURCE_DIR}/tests/win)

foreach(dir tests/e2e/driver ctl)
    if(EXISTS ${CMAKE_SOURCE_DIR}/${dir}/CMakeLists.txt)
        add_subdirectory(${dir})
    endif()
endforeach()

# torvanctl.exe carries the version information of TorvanOne.exe.
if(TARGET torvanctl)
    set(TORVANCTL_RC ${CMAKE_SOURCE_DIR}/resources/Torvanctl.rc)
    set_source_files_properties(${TORVANCTL_RC} TARGET_DIRECTORY torvanctl PROPERTIES
        INCLUDE_DIRECTORIES "${CMAKE_SOURCE_DIR}/resources;${CMAKE_BINARY_DIR}/generated")
    target_sources(torvanctl PRIVATE ${TORVANCTL_RC})
endif()
