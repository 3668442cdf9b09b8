# Windows build (mingw-w64): TorvanOne.exe, the Windows test exe and the end-to-end driver.
enable_language(RC)

# One statically linked exe: no mingw runtime DLLs beside it.
add_link_options(-static -static-libgcc -static-libstdc++)

set(TORVAN_WIN_LIBS comctl32 comdlg32 gdi32 user32 advapi32 kernel32)

file(GLOB GUI_SOURCES CONFIGURE_DEPENDS
     app/win32/*.cpp display/win32/*.cpp tools/win32/*.cpp device/win32/*.cpp)
list(FILTER GUI_SOURCES EXCLUDE REGEX
     "SerialPortWin32\\.cpp$|PortLockWin32\\.cpp$|QueueSignalWin32\\.cpp$|Utf8FileWin32\\.cpp$|WinMain\\.cpp$")

add_library(torvan_gui STATIC ${GUI_SOURCES})
target_link_libraries(torvan_gui PUBLIC torvan_core ${TORVAN_WIN_LIBS})

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
