#include "ModuleLoader.h"

#include "Platform.h"

namespace talvik_host {

DriverModule::~DriverModule() {
    // Every driver must be deleted before the code that runs it goes away.
    if (handle_ != nullptr) CloseLibrary(handle_);
}

bool DriverModule::Load(const std::string& path, std::string* error) {
    std::string reason;
    handle_ = OpenLibrary(path, &reason);
    if (handle_ == nullptr) {
        *error = "cannot load module " + path + ": " + reason;
        return false;
    }
    path_ = path;
    for (DriverFactory& factory : factories_) {
        void* create = LibrarySymbol(handle_, factory.createName);
        void* destroy = LibrarySymbol(handle_, factory.deleteName);
        if (create == nullptr || destroy == nullptr) {
            *error = "module " + path + " does not export " +
                     (create == nullptr ? factory.createName : factory.deleteName);
            return false;
        }
        // Every factory returns a pointer usable as IIPCaptureDriver* and every
        // delete takes one: the versions form a single inheritance chain.
        factory.create = reinterpret_cast<talvik::ipcapture::CreateIPCaptureFn>(create);
        factory.destroy = reinterpret_cast<talvik::ipcapture::DeleteIPCaptureFn>(destroy);
    }
    return true;
}

void* DriverModule::Symbol(const char* name) const {
    return handle_ != nullptr ? LibrarySymbol(handle_, name) : nullptr;
}

std::string DefaultModulePath() {
    const std::string directory = ExecutableDirectory();
    if (!directory.empty()) {
        const std::string beside = directory + kModuleFileName;
        if (FileExists(beside)) return beside;
#ifdef TALVIK_HOST_INSTALLED_MODULE
        // Installed: the module is in the library directory of the same prefix.
        const std::string installed = directory + TALVIK_HOST_INSTALLED_MODULE;
        if (FileExists(installed)) return installed;
#endif
    }
#ifdef TALVIK_HOST_BUILD_MODULE
    return TALVIK_HOST_BUILD_MODULE;
#else
    return kModuleFileName;  // left to the loader's search path
#endif
}

}  // namespace talvik_host
