# Third-party libraries of the module: libcurl for HTTP, pugixml for the
# settings file (scripts/setup-deps installs both).
find_package(CURL REQUIRED)
find_package(pugixml REQUIRED)
# Both sit behind the platform seams, which base builds.
target_link_libraries(talvik_base PUBLIC CURL::libcurl pugixml::pugixml)
