// DLLs that only an "https://" link needs, loaded when such a link is first opened: an agent on a
// plain address must not pay for TLS at all, and every one of them would at load time if the exe
// imported them.
#pragma once
#include <windows.h>

// `name` ("winhttp.dll") from the system folder, never from the exe's folder or the search path;
// null when it cannot be loaded. Loaded once and kept until the process ends.
HMODULE LoadSystemLibrary(const char* name);

// Fills `call` with the export `name` of `module`; false when there is no such export.
template <typename Function>
bool BindCall(HMODULE module, const char* name, Function*& call) {
    call = module == nullptr ? nullptr
                             : reinterpret_cast<Function*>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return call != nullptr;
}
