// Checks the resources of the built vnt.auo as Windows loads them: the
// dialog "CONFIG_DLG" field by field against the control table that the
// plug-in's code uses (config_dialog_template.h), and the version block.
//   resource_check.exe path\to\vnt.auo
// Prints each difference and exits 1 when there is one.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "console/vfapi.h"
#include "engine/platform.h"
#include "plugin/config_dialog_template.h"
#include "plugin/plugin_abi.h"

// The records' own checks of their 32-bit layouts only bite where pointers
// are 32-bit; the 64-bit build keeps the field order with native pointers.
#ifdef _WIN64
static_assert(sizeof(OutputPluginTable) == 144 && sizeof(OutputRequest) == 104);
static_assert(sizeof(VfapiFunctionTable) == 48 && sizeof(VfapiVideoRead) == 32);
#else
static_assert(sizeof(void*) == 4);
static_assert(sizeof(OutputPluginTable) == 104 && sizeof(OutputRequest) == 72);
static_assert(sizeof(VfapiFunctionTable) == 24 && sizeof(VfapiVideoRead) == 20);
#endif

namespace {

int faults = 0;

void fault(const char* format, ...) __attribute__((format(printf, 1, 2)));
void fault(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::fputs("resource_check: ", stdout);
    std::vfprintf(stdout, format, args);
    std::fputc('\n', stdout);
    va_end(args);
    ++faults;
}

std::wstring wide(const char* utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
    if (n <= 0) return L"<invalid UTF-8>";
    std::wstring w(static_cast<size_t>(n - 1), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, w.data(), n);
    return w;
}

std::string narrow(const std::wstring& w) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string s(static_cast<size_t>(n > 0 ? n - 1 : 0), '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, s.data(), n, nullptr, nullptr);
    return s;
}

// Reads the template's WORD stream: a name is an ordinal (0xFFFF, value), an
// empty name (0) or a NUL-terminated UTF-16 string.
struct Reader {
    const BYTE* p;
    const BYTE* end;
    bool ok = true;

    WORD word() {
        if (p + 2 > end) {
            ok = false;
            return 0;
        }
        WORD v;
        std::memcpy(&v, p, 2);
        p += 2;
        return v;
    }
    DWORD dword() {
        const DWORD lo = word();
        return lo | (static_cast<DWORD>(word()) << 16);
    }
    short sword() { return static_cast<short>(word()); }
    std::wstring string() {
        std::wstring s;
        for (WORD c = word(); ok && c != 0; c = word()) s += static_cast<wchar_t>(c);
        return s;
    }
    // Ordinals come back as "#<number>".
    std::wstring name() {
        WORD first = word();
        if (first == 0xFFFF) return L"#" + std::to_wstring(word());
        std::wstring s;
        for (WORD c = first; ok && c != 0; c = word()) s += static_cast<wchar_t>(c);
        return s;
    }
    void align4(const BYTE* base) {
        while ((p - base) % 4) ++p;
    }
};

// The predefined classes that a template names by atom.
std::wstring class_of(const std::wstring& name) {
    if (name == L"#128") return L"button";
    if (name == L"#129") return L"edit";
    if (name == L"#130") return L"static";
    if (name == L"#131") return L"listbox";
    if (name == L"#132") return L"scrollbar";
    if (name == L"#133") return L"combobox";
    return name;
}

bool same_class(const std::wstring& got, const char* want) {
    return CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, got.c_str(), -1, wide(want).c_str(), -1) == CSTR_EQUAL;
}

void check_dialog(HMODULE module) {
    HRSRC found = FindResourceA(module, kConfigDialog.name, MAKEINTRESOURCEA(5) /* RT_DIALOG */);
    if (!found) {
        fault("no dialog resource named %s", kConfigDialog.name);
        return;
    }
    const BYTE* base = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
    Reader r{base, base + SizeofResource(module, found)};

    const DWORD style = r.dword();
    if ((style & 0xFFFF) == 1 && (style >> 16) == 0xFFFF) {
        fault("CONFIG_DLG is an extended template, not an ordinary one");
        return;
    }
    const DWORD exstyle = r.dword();
    const WORD count = r.word();
    const short x = r.sword(), y = r.sword(), cx = r.sword(), cy = r.sword();
    if (style != kConfigDialog.style) fault("dialog style %08lx, want %08lx", style, kConfigDialog.style);
    if (exstyle != 0) fault("dialog extended style %08lx, want 0", exstyle);
    if (x != kConfigDialog.x || y != kConfigDialog.y || cx != kConfigDialog.cx || cy != kConfigDialog.cy)
        fault("dialog at %d,%d size %dx%d", x, y, cx, cy);
    if (count != kConfigDialogItems.size()) fault("dialog has %u controls, want %u", count, static_cast<unsigned>(kConfigDialogItems.size()));
    const std::wstring menu = r.name(), window_class = r.name(), caption = r.string();
    if (!menu.empty()) fault("dialog has a menu");
    if (!window_class.empty()) fault("dialog has its own window class");
    if (caption != wide(kConfigDialog.caption)) fault("caption \"%s\"", narrow(caption).c_str());
    if (style & DS_SETFONT) {
        const WORD points = r.word();
        const std::wstring face = r.string();
        if (points != kConfigDialog.point_size) fault("font size %u, want %u", points, kConfigDialog.point_size);
        if (face != wide(kConfigDialog.font_name)) fault("font \"%s\"", narrow(face).c_str());
    } else {
        fault("dialog names no font");
    }

    for (size_t i = 0; i < count && i < kConfigDialogItems.size() && r.ok; ++i) {
        const DialogItemSpec& want = kConfigDialogItems[i];
        r.align4(base);
        const DWORD item_style = r.dword();
        const DWORD item_exstyle = r.dword();
        const short ix = r.sword(), iy = r.sword(), icx = r.sword(), icy = r.sword();
        const WORD id = r.word();
        const std::wstring cls = class_of(r.name());
        const std::wstring text = r.name();
        const WORD extra = r.word();
        r.p += extra;
        const int n = static_cast<int>(i) + 1;
        if (id != static_cast<WORD>(want.id)) fault("control %d: id %u, want %d", n, id, want.id);
        if (!same_class(cls, want.class_name))
            fault("control %d: class \"%s\", want \"%s\"", n, narrow(cls).c_str(), want.class_name);
        if (text != wide(want.text)) fault("control %d: text \"%s\", want \"%s\"", n, narrow(text).c_str(), want.text);
        if (item_style != want.style) fault("control %d: style %08lx, want %08lx", n, item_style, want.style);
        if (item_exstyle != 0) fault("control %d: extended style %08lx", n, item_exstyle);
        if (ix != want.x || iy != want.y || icx != want.cx || icy != want.cy)
            fault("control %d: at %d,%d size %dx%d, want %d,%d size %dx%d", n, ix, iy, icx, icy, want.x, want.y,
                  want.cx, want.cy);
        if (extra != 0) fault("control %d: %u bytes of creation data", n, extra);
    }
    if (!r.ok) fault("the dialog template ends early");
}

void check_version(const char* path, HMODULE module) {
    if (!FindResourceExA(module, MAKEINTRESOURCEA(16) /* RT_VERSION */, MAKEINTRESOURCEA(1),
                         MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT)))
        fault("no version resource in language 0x0411");
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    if (size == 0) {
        fault("no version information");
        return;
    }
    std::string block(size, '\0');
    if (!GetFileVersionInfoA(path, 0, size, block.data())) {
        fault("version information can't be read");
        return;
    }
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length) || length < sizeof *fixed) {
        fault("no fixed version information");
    } else {
        if (fixed->dwSignature != 0xFEEF04BD) fault("fixed version information has a bad signature");
        if (fixed->dwFileVersionMS != 0x00010002 || fixed->dwFileVersionLS != 0x00000004)
            fault("file version %lu.%lu.%lu.%lu, want 1.2.0.4", fixed->dwFileVersionMS >> 16,
                  fixed->dwFileVersionMS & 0xFFFF, fixed->dwFileVersionLS >> 16, fixed->dwFileVersionLS & 0xFFFF);
        if (fixed->dwProductVersionMS != 0x00010002 || fixed->dwProductVersionLS != 0x00000000)
            fault("product version %lu.%lu.%lu.%lu, want 1.2.0(.0)", fixed->dwProductVersionMS >> 16,
                  fixed->dwProductVersionMS & 0xFFFF, fixed->dwProductVersionLS >> 16,
                  fixed->dwProductVersionLS & 0xFFFF);
        if (fixed->dwFileType != VFT_DLL) fault("file type %lu, want a DLL", fixed->dwFileType);
    }
    WORD* translation = nullptr;
    if (!VerQueryValueA(block.data(), "\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translation), &length) ||
        length < 4) {
        fault("no translation list");
    } else if (translation[0] != 0x0411 || translation[1] != 1200) {
        fault("translation %04x/%u, want 0411/1200", translation[0], translation[1]);
    }
    struct Expected {
        const wchar_t* name;
        const char* value;
    };
    const Expected strings[] = {
        {L"FileDescription", "自動２パス MsPEG4 圧縮 AviUtl 出力プラグイン"},
        {L"OriginalFilename", "vnt.auo"},
        {L"ProductName", "Vantrel"},
        {L"CompanyName", "Wendmark"},
    };
    const std::wstring wpath = wide(path);
    const DWORD wsize = GetFileVersionInfoSizeW(wpath.c_str(), &ignored);
    std::string wdata(wsize, '\0');
    if (!GetFileVersionInfoW(wpath.c_str(), 0, wsize, wdata.data())) {
        fault("version information can't be read as UTF-16");
        return;
    }
    for (const Expected& e : strings) {
        const std::wstring query = std::wstring(L"\\StringFileInfo\\041104b0\\") + e.name;
        wchar_t* value = nullptr;
        UINT chars = 0;
        if (!VerQueryValueW(wdata.data(), query.c_str(), reinterpret_cast<void**>(&value), &chars) || !value) {
            fault("no %s string", narrow(e.name).c_str());
            continue;
        }
        const std::wstring got(value);
        if (got != wide(e.value))
            fault("%s is \"%s\", want \"%s\"", narrow(e.name).c_str(), narrow(got).c_str(), e.value);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: resource_check path\\to\\vnt.auo\n", stderr);
        return 2;
    }
    HMODULE module = LoadLibraryExA(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module) {
        fault("can't load %s", argv[1]);
        return 1;
    }
    check_dialog(module);
    check_version(argv[1], module);
    FreeLibrary(module);
    if (faults == 0) std::printf("resource_check: dialog (%u controls) and version block as expected\n",
                                 static_cast<unsigned>(kConfigDialogItems.size()));
    return faults == 0 ? 0 : 1;
}
