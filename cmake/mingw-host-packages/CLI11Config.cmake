# CLI11 (header-only) for the MinGW cross build; see HostHeaders.cmake.
include(${CMAKE_CURRENT_LIST_DIR}/HostHeaders.cmake)
orlo_host_headers(CLI11::CLI11 CLI)
