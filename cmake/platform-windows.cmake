# The Windows platform: files through the wide-character calls, Winsock through
# Asio, the system's connection state (WinINet), and the project's own DNS
# client where the settings name servers. Windows 8 or later
# (GetSystemTimePreciseAsFileTime, FILE_BASIC_INFO).
target_compile_definitions(quillon_platform PUBLIC _WIN32_WINNT=0x0602 WINVER=0x0602 UNICODE _UNICODE
                           WIN32_LEAN_AND_MEAN NOMINMAX)
target_link_libraries(quillon_platform PUBLIC ws2_32 mswsock wininet advapi32)

# Asio is header-only and portable, but Debian installs it for the host only:
# the Windows build sees those headers (and no other host header) through a
# folder of links of its own.
set(QUILLON_ASIO_VIEW ${CMAKE_BINARY_DIR}/layers/asio)
file(MAKE_DIRECTORY ${QUILLON_ASIO_VIEW})
foreach(entry asio asio.hpp)
  file(CREATE_LINK /usr/include/${entry} ${QUILLON_ASIO_VIEW}/${entry} SYMBOLIC)
endforeach()
target_include_directories(quillon_platform SYSTEM PUBLIC ${QUILLON_ASIO_VIEW})
