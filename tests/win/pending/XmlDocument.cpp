// Stand-in until src/platform/win/XmlDocument.cpp exists: no document loads.
#include "platform/XmlDocument.h"

namespace talvik {

struct CXmlDocument::Impl {};
CXmlDocument::CXmlDocument() = default;
CXmlDocument::~CXmlDocument() = default;
bool CXmlDocument::LoadFile(const std::string&) {
    return false;
}
bool CXmlDocument::LoadBuffer(const void*, size_t) {
    return false;
}
bool CXmlDocument::NodeExists(const std::string&) const {
    return false;
}
std::string CXmlDocument::FirstChildText(const std::string&) const {
    return std::string();
}

}  // namespace talvik
