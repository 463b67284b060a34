// A read-only XML document answering XPath queries. White-space text and
// comments stay in the tree, so that "the first child" of an element is the
// node a DOM that preserves white space sees. Not locked: its owner locks. A
// failed allocation may throw; an invalid query may throw too.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

namespace talvik {

class CXmlDocument {
public:
    CXmlDocument();
    ~CXmlDocument();
    CXmlDocument(const CXmlDocument&) = delete;
    CXmlDocument& operator=(const CXmlDocument&) = delete;

    // False when the file cannot be read or parsed.
    bool LoadFile(const std::string& path);
    bool LoadBuffer(const void* data, size_t size);

    bool NodeExists(const std::string& xpath) const;
    // Value of the first child of the first selected node, else empty.
    std::string FirstChildText(const std::string& xpath) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace talvik
