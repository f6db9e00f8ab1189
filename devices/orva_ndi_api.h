// orva_ndi_api.h: the parts of the NDI runtime (SDK version 3, "libndi.so.3")
// that source discovery takes by name, with the SDK's public layout.
#pragma once

#include <cstdint>

using NDIlib_find_instance_t = void*;

// Finder settings. Groups and extra addresses are comma-separated lists;
// none means the runtime's defaults.
struct NDIlib_find_create_t {
    bool show_local_sources;
    const char* p_groups;
    const char* p_extra_ips;
};

// One source as the runtime lists it; both texts belong to the finder.
struct NDIlib_source_t {
    const char* p_ndi_name;
    const char* p_url_address;
};

// The head of the function table NDIlib_v3_load returns; discovery uses only
// its first two entries, so the rest is not declared.
struct NDIlib_v3 {
    bool (*NDIlib_initialize)();
    void (*NDIlib_destroy)();
};

using NDIlibV3LoadFunc = const NDIlib_v3* (*)();
using NDIlibFindCreateV2Func = NDIlib_find_instance_t (*)(const NDIlib_find_create_t* settings);
using NDIlibFindWaitForSourcesFunc = bool (*)(NDIlib_find_instance_t finder, uint32_t timeoutMs);
using NDIlibFindGetCurrentSourcesFunc = const NDIlib_source_t* (*)(NDIlib_find_instance_t finder,
                                                                  uint32_t* count);
using NDIlibFindDestroyFunc = void (*)(NDIlib_find_instance_t finder);
