#include "ModuleLoader.h"

#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>

namespace talvik_host {

DriverModule::~DriverModule() {
    // Every driver must be deleted before the code that runs it goes away.
    if (handle_ != nullptr) dlclose(handle_);
}

bool DriverModule::Load(const std::string& path, std::string* error) {
    // RTLD_NOW: a module with unresolved symbols fails here, not mid-recording.
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        const char* reason = dlerror();
        *error = "cannot load module " + path + ": " + (reason ? reason : "unknown error");
        return false;
    }
    path_ = path;
    for (DriverFactory& factory : factories_) {
        void* create = dlsym(handle_, factory.createName);
        void* destroy = dlsym(handle_, factory.deleteName);
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
    return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

std::string DefaultModulePath() {
    static const char kModuleName[] = "libtalvik_arecont.so";
    char exe[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (length > 0) {
        std::string path(exe, size_t(length));
        const size_t slash = path.rfind('/');
        const std::string beside = path.substr(0, slash + 1) + kModuleName;
        if (access(beside.c_str(), F_OK) == 0) return beside;
#ifdef TALVIK_HOST_INSTALLED_MODULE
        // Installed: the module is in the library directory of the same prefix.
        const std::string installed = path.substr(0, slash + 1) + TALVIK_HOST_INSTALLED_MODULE;
        if (access(installed.c_str(), F_OK) == 0) return installed;
#endif
    }
#ifdef TALVIK_HOST_BUILD_MODULE
    return TALVIK_HOST_BUILD_MODULE;
#else
    return kModuleName;  // left to the loader's search path
#endif
}

}  // namespace talvik_host
