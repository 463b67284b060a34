// CXmlDocument on the MSXML 3.0 DOM through COM. COM is entered in the
// multithreaded apartment for the document's life on the constructing
// thread, and left again by the destructor; a thread already in another
// apartment model gets no document.
#include <msxml2.h>
#include <ole2.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "platform/XmlDocument.h"

namespace talvik {

namespace {

// Msxml2.DOMDocument.3.0 and IXMLDOMDocument2.
constexpr CLSID kDomDocument30 = {
    0xF5078F32, 0xC551, 0x11D3, {0x89, 0xB9, 0x00, 0x00, 0xF8, 0x1F, 0xE2, 0x21}};
constexpr IID kXmlDomDocument2 = {
    0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
// IUnknown's own, so that the module needs no uuid library.
constexpr IID kUnknown = {0, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
constexpr DWORD kAllContexts = 0x17;

std::wstring Widen(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n = MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(size_t(n > 0 ? n : 0), L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.data(), int(text.size()), &out[0], n);
    return out;
}

std::string Narrow(const wchar_t* text, int size) {
    if (size <= 0) return std::string();
    const int n = WideCharToMultiByte(CP_ACP, 0, text, size, nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 0 ? n : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_ACP, 0, text, size, &out[0], n, nullptr, nullptr);
    return out;
}

// A BSTR for the length of one call.
class Bstr {
public:
    explicit Bstr(const std::wstring& text)
        : value_(SysAllocStringLen(text.data(), UINT(text.size()))) {}
    ~Bstr() { SysFreeString(value_); }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    BSTR get() const { return value_; }

private:
    BSTR value_;
};

template <typename T>
void Release(T*& p) {
    if (p) p->Release();
    p = nullptr;
}

}  // namespace

struct CXmlDocument::Impl {
    HRESULT com = E_FAIL;  // CoInitializeEx's result; left again when it succeeded
    IXMLDOMDocument2* document = nullptr;

    Impl() : com(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~Impl() {
        Release(document);
        if (SUCCEEDED(com)) CoUninitialize();
    }

    bool Create() {
        if (FAILED(com) || document) return false;
        IUnknown* unknown = nullptr;
        HRESULT hr = CoCreateInstance(kDomDocument30, nullptr, kAllContexts, kUnknown,
                                      reinterpret_cast<void**>(&unknown));
        if (SUCCEEDED(hr)) hr = OleRun(unknown);
        if (SUCCEEDED(hr))
            hr = unknown->QueryInterface(kXmlDomDocument2, reinterpret_cast<void**>(&document));
        Release(unknown);
        if (SUCCEEDED(hr)) hr = document->put_async(VARIANT_FALSE);
        if (SUCCEEDED(hr)) hr = document->put_preserveWhiteSpace(VARIANT_TRUE);
        if (SUCCEEDED(hr)) {
            Bstr name(L"SelectionLanguage");
            VARIANT language;
            VariantInit(&language);
            language.vt = VT_BSTR;
            language.bstrVal = SysAllocString(L"XPath");
            hr = language.bstrVal ? document->setProperty(name.get(), language) : E_OUTOFMEMORY;
            VariantClear(&language);
        }
        if (FAILED(hr)) Release(document);
        return SUCCEEDED(hr);
    }

    // Loads source (a path or a byte array); the document goes when it fails.
    bool Load(VARIANT& source) {
        VARIANT_BOOL loaded = VARIANT_FALSE;
        const HRESULT hr = document->load(source, &loaded);
        if (FAILED(hr) || loaded != VARIANT_TRUE) Release(document);
        return document != nullptr;
    }

    IXMLDOMNode* Select(const std::string& xpath) const {
        if (!document) return nullptr;
        Bstr query(Widen(xpath));
        IXMLDOMNode* node = nullptr;
        if (document->selectSingleNode(query.get(), &node) != S_OK) Release(node);
        return node;
    }
};

CXmlDocument::CXmlDocument() : impl_(std::make_unique<Impl>()) {}

CXmlDocument::~CXmlDocument() = default;

bool CXmlDocument::LoadFile(const std::string& path) {
    if (!impl_->Create()) return false;
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_BSTR;
    source.bstrVal = SysAllocString(Widen(path).c_str());
    const bool ok = source.bstrVal != nullptr && impl_->Load(source);
    VariantClear(&source);
    return ok;
}

// As bytes, so that the document's own encoding declaration decides.
bool CXmlDocument::LoadBuffer(const void* data, size_t size) {
    if (size > 0x7fffffff || !impl_->Create()) return false;
    SAFEARRAY* bytes = SafeArrayCreateVector(VT_UI1, 0, ULONG(size));
    if (!bytes) return false;
    void* target = nullptr;
    if (SUCCEEDED(SafeArrayAccessData(bytes, &target))) {
        if (size > 0) std::memcpy(target, data, size);
        SafeArrayUnaccessData(bytes);
    }
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_ARRAY | VT_UI1;
    source.parray = bytes;
    const bool ok = target != nullptr && impl_->Load(source);
    VariantClear(&source);  // destroys the array
    return ok;
}

bool CXmlDocument::NodeExists(const std::string& xpath) const {
    IXMLDOMNode* node = impl_->Select(xpath);
    const bool found = node != nullptr;
    Release(node);
    return found;
}

std::string CXmlDocument::FirstChildText(const std::string& xpath) const {
    IXMLDOMNode* node = impl_->Select(xpath);
    if (!node) return std::string();
    IXMLDOMNode* child = nullptr;
    std::string text;
    if (node->get_firstChild(&child) == S_OK && child) {
        VARIANT value;
        VariantInit(&value);
        if (SUCCEEDED(child->get_nodeValue(&value)) && value.vt == VT_BSTR && value.bstrVal)
            text = Narrow(value.bstrVal, int(SysStringLen(value.bstrVal)));
        VariantClear(&value);
    }
    Release(child);
    Release(node);
    return text;
}

}  // namespace talvik
