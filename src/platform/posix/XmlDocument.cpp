#include <pugixml.hpp>

#include "platform/XmlDocument.h"

namespace talvik {

namespace {
constexpr unsigned kParseOptions =
    pugi::parse_default | pugi::parse_ws_pcdata | pugi::parse_comments;
}  // namespace

struct CXmlDocument::Impl {
    pugi::xml_document document;
};

CXmlDocument::CXmlDocument() : impl_(std::make_unique<Impl>()) {}

CXmlDocument::~CXmlDocument() = default;

bool CXmlDocument::LoadFile(const std::string& path) {
    return bool(impl_->document.load_file(path.c_str(), kParseOptions));
}

bool CXmlDocument::LoadBuffer(const void* data, size_t size) {
    return bool(impl_->document.load_buffer(data, size, kParseOptions));
}

bool CXmlDocument::NodeExists(const std::string& xpath) const {
    return bool(impl_->document.select_node(xpath.c_str()));
}

std::string CXmlDocument::FirstChildText(const std::string& xpath) const {
    const pugi::xml_node node = impl_->document.select_node(xpath.c_str()).node();
    if (!node) return std::string();
    return node.first_child().value();
}

}  // namespace talvik
