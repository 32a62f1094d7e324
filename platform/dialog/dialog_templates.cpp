// Dialog templates linked into modules, found by module handle and name as
// DialogBoxParamA finds resources on Windows.
#include <dlfcn.h>
#include <link.h>

#include <algorithm>
#include <string>

#include "platform/dialog/dialog_internal.h"

namespace {

bool same_name(const std::string& registered, LPCSTR wanted) {
    if (IS_INTRESOURCE(wanted)) {
        // MAKEINTRESOURCE(n) matches a template registered as "#n".
        return registered == "#" + std::to_string(reinterpret_cast<ULONG_PTR>(wanted));
    }
    return dialog_lower(registered.c_str()) == dialog_lower(wanted);
}

const link_map* module_of(const void* anchor) {
    Dl_info info;
    void* extra = nullptr;
    if (!anchor || !dladdr1(anchor, &info, &extra, RTLD_DL_LINKMAP)) return nullptr;
    return static_cast<const link_map*>(extra);
}

// The handle LoadLibraryA gave (or would give) for the module. A null instance
// stands for the program itself, as on Windows.
bool module_has_handle(const link_map* module, HINSTANCE instance) {
    const bool is_program = !module->l_name || !*module->l_name;
    void* handle = is_program ? dlopen(nullptr, RTLD_LAZY) : dlopen(module->l_name, RTLD_LAZY | RTLD_NOLOAD);
    if (!handle) return false;
    void* program = instance ? nullptr : dlopen(nullptr, RTLD_LAZY);
    const bool same = handle == (instance ? static_cast<void*>(instance) : program);
    if (program) dlclose(program);
    dlclose(handle);
    return same;
}

}  // namespace

const DialogResource* templates_find(HINSTANCE instance, LPCSTR name) {
    for (const DialogTemplate& r : dialog_manager().templates) {
        if (name && same_name(r.name, name) && module_has_handle(r.module, instance)) return r.resource;
    }
    return nullptr;
}

int dialog_resource_register(const void* anchor, const char* name, const DialogResource* resource) {
    const link_map* module = module_of(anchor);
    if (!module || !name || !resource) return 0;
    dialog_resource_unregister(anchor, name);
    dialog_manager().templates.push_back({module, name, resource});
    return 1;
}

void dialog_resource_unregister(const void* anchor, const char* name) {
    const link_map* module = module_of(anchor);
    auto& t = dialog_manager().templates;
    t.erase(std::remove_if(t.begin(), t.end(),
                           [&](const DialogTemplate& r) {
                               return r.module == module && name && dialog_lower(r.name.c_str()) == dialog_lower(name);
                           }),
            t.end());
}
