# nlohmann_json (header-only) for the MinGW cross build; see HostHeaders.cmake.
include(${CMAKE_CURRENT_LIST_DIR}/HostHeaders.cmake)
orlo_host_headers(nlohmann_json::nlohmann_json nlohmann)
