# Third-party libraries of the module. Linux: libcurl for HTTP and pugixml for
# the settings file (scripts/setup-deps installs both). Windows: the system's
# own WinHTTP, MSXML (through COM), Winsock and version resources.
# Both sit behind the platform seams, which base builds.
if(WIN32)
  target_link_libraries(talvik_base PUBLIC ws2_32 winhttp ole32 oleaut32 version)
else()
  find_package(CURL REQUIRED)
  find_package(pugixml REQUIRED)
  target_link_libraries(talvik_base PUBLIC CURL::libcurl pugixml::pugixml)
endif()
