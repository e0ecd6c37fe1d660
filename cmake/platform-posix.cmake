# The POSIX platform: c-ares for name lookups (pointed at given DNS servers when
# the settings name them), the rest straight from the C library.
pkg_check_modules(CARES REQUIRED IMPORTED_TARGET libcares)
target_link_libraries(quillon_platform PRIVATE PkgConfig::CARES)
