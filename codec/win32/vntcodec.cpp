// vntcodec.dll: our codec drivers over libavcodec (codec/, the same
// sources as the Linux compression manager's built-in drivers) as a Video for
// Windows codec. DriverProc answers what only a codec installed in Windows is
// asked (its description, its settings dialog, opens that name no codec) and
// hands every other message to the drivers' own procedure. regsvr32 installs
// and removes it (DllRegisterServer, DllUnregisterServer): one Drivers32 entry
// per FourCC of the drivers' table, so a codec added there is installed too.
#include <cstdint>
#include <cstring>

extern "C" {
#include <libavcodec/codec_desc.h>
}

#include "codec/codecs.h"
#include "codec/driver.h"
#include "codec/codec.h"
#include "common/ascii.h"

#include <olectl.h>

namespace {

HMODULE self_module;

// The handle of an open without an ICOPEN record (a control panel asking the
// driver about itself): no codec stands behind it.
constexpr DWORD_PTR bare_instance = 1;

constexpr const char* drivers32_key = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Drivers32";
constexpr const char* descriptions_key = "Software\\Microsoft\\Windows NT\\CurrentVersion\\drivers.desc";
constexpr const char* description = "vnt MPEG-4 codecs over FFmpeg's libavcodec";

// The driver's Drivers32 value name for a FourCC: "vidc.MP43".
void value_name(DWORD fcc, char (&name)[10]) {
    std::memcpy(name, "vidc.", 5);
    std::memcpy(name + 5, fourcc_text(fcc).data(), 5);
}

// The file name this DLL was loaded from, without its folder: what the
// Drivers32 entries hold (the system folder is where codecs are looked up).
bool module_file_name(char (&name)[MAX_PATH]) {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(self_module, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return false;
    const char* base = path;
    for (const char* p = path; *p; ++p)
        if (*p == '\\' || *p == '/') base = p + 1;
    std::strcpy(name, base);
    return true;
}

void widen(const char* text, WCHAR* out, std::size_t capacity) {
    std::size_t i = 0;
    for (; text[i] && i + 1 < capacity; ++i) out[i] = static_cast<unsigned char>(text[i]);
    out[i] = 0;
}

LRESULT get_info(const CodecDriver& d, ICINFO* info, std::size_t size) {
    if (!info) return sizeof(ICINFO);
    if (size < sizeof(ICINFO)) return 0;
    std::memset(info, 0, sizeof(ICINFO));
    info->dwSize = sizeof(ICINFO);
    info->fccType = ICTYPE_VIDEO;
    info->fccHandler = d.fcc;
    // Delta frames without the previous picture handed in, and the frames
    // info (rate, key distance) taken before a run.
    if (d.codec && d.codec->compresses) info->dwFlags = VIDCF_TEMPORAL | VIDCF_FASTTEMPORALC | VIDCF_COMPRESSFRAMES;
    info->dwVersion = 1;
    info->dwVersionICM = ICVERSION;
    char name[16] = "vnt ";
    std::memcpy(name + 4, fourcc_text(d.fcc).data(), 5);
    widen(name, info->szName, 16);
    const AVCodecDescriptor* desc = avcodec_descriptor_get(d.codec ? d.codec->id : AV_CODEC_ID_NONE);
    widen(desc && desc->long_name ? desc->long_name : "MPEG-4", info->szDescription, 128);
    char file[MAX_PATH];
    if (module_file_name(file)) widen(file, info->szDriver, 128);
    return sizeof(ICINFO);
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        self_module = instance;
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" __declspec(dllexport) LRESULT WINAPI DriverProc(DWORD_PTR id, HDRVR hdrvr, UINT msg, LPARAM p1,
                                                           LPARAM p2) {
    switch (msg) {
        case DRV_OPEN: {
            const auto* open = reinterpret_cast<const ICOPEN*>(p2);
            if (!open) return bare_instance;
            if (fourcc_fold(open->fccType) != fourcc_fold(ICTYPE_VIDEO)) return 0;
            break;
        }
        case DRV_QUERYCONFIGURE:
            return 0;  // no settings dialog: the programs set the codec through its state block
        case DRV_CONFIGURE:
            return DRVCNF_CANCEL;
        case DRV_INSTALL: case DRV_REMOVE:
            return DRVCNF_OK;
        default:
            break;
    }
    if (id == bare_instance) return msg == DRV_CLOSE ? 1 : ICERR_UNSUPPORTED;
    switch (msg) {
        case ICM_GETINFO:
            if (!id) return ICERR_BADHANDLE;
            return get_info(*reinterpret_cast<const CodecDriver*>(id), reinterpret_cast<ICINFO*>(p1),
                            static_cast<std::size_t>(p2));
        case ICM_CONFIGURE: case ICM_ABOUT:
            return ICERR_UNSUPPORTED;  // nor an about box; -1 asks whether there is one
        default:
            return codec_driver_proc(id, hdrvr, msg, p1, p2);
    }
}

// Decompression serves the FourCCs of the drivers' table alone: the DLL is
// installed for those and is built without libavformat's tag table.
AVCodecID codec_riff_decoder(DWORD) { return AV_CODEC_ID_NONE; }

// regsvr32 vntcodec.dll: an entry for every FourCC of the table, replacing
// another codec's (installing ours is asking for ours); and the description.
extern "C" __declspec(dllexport) HRESULT WINAPI DllRegisterServer() {
    char file[MAX_PATH];
    if (!module_file_name(file)) return E_FAIL;
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, drivers32_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return SELFREG_E_CLASS;
    HRESULT result = S_OK;
    for (DWORD fcc : codec_fourccs()) {
        char name[10];
        value_name(fcc, name);
        if (RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(file),
                           static_cast<DWORD>(std::strlen(file) + 1)) != ERROR_SUCCESS)
            result = SELFREG_E_CLASS;
    }
    RegCloseKey(key);
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, descriptions_key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) == ERROR_SUCCESS) {
        RegSetValueExA(key, file, 0, REG_SZ, reinterpret_cast<const BYTE*>(description),
                       static_cast<DWORD>(std::strlen(description) + 1));
        RegCloseKey(key);
    }
    return result;
}

// regsvr32 /u vntcodec.dll: removes the entries that name this DLL, and
// leaves those of other codecs.
extern "C" __declspec(dllexport) HRESULT WINAPI DllUnregisterServer() {
    char file[MAX_PATH];
    if (!module_file_name(file)) return E_FAIL;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, drivers32_key, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        for (DWORD fcc : codec_fourccs()) {
            char name[10], value[MAX_PATH] = {};
            value_name(fcc, name);
            DWORD type = 0, size = sizeof(value) - 1;
            if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(value), &size) ==
                    ERROR_SUCCESS &&
                type == REG_SZ && lstrcmpiA(value, file) == 0)
                RegDeleteValueA(key, name);
        }
        RegCloseKey(key);
    }
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, descriptions_key, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        RegDeleteValueA(key, file);
        RegCloseKey(key);
    }
    return S_OK;
}
