# Third-party libraries of the module: libcurl for HTTP, pugixml for the
# settings file (scripts/setup-deps installs both).
find_package(CURL REQUIRED)
find_package(pugixml REQUIRED)
target_link_libraries(talvik_http PUBLIC CURL::libcurl)
target_link_libraries(talvik_base PUBLIC pugixml::pugixml)
