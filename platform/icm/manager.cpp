// The compression manager: a table of installed driver procedures keyed by
// type and FourCC, and a table of open instances keyed by handle. Handles are
// never reused, so a message to a closed handle is answered ICERR_BADHANDLE
// instead of reaching a driver that has gone.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

#include "codec/codec.h"
#include "common/ascii.h"
#include "platform/icm/builtin.h"
#include "platform/icm/icm.h"

namespace {

struct InstalledDriver {
    DWORD type;     // folded
    DWORD handler;  // folded
    DRIVERPROC proc;
};

struct OpenInstance {
    DRIVERPROC proc;
    DWORD_PTR driver_id;  // what the driver answered to DRV_OPEN
};

struct Manager {
    std::mutex lock;
    std::vector<InstalledDriver> installed;
    std::map<std::uintptr_t, OpenInstance> instances;
    std::map<DRIVERPROC, int> users;  // open instances per procedure, for DRV_LOAD/DRV_FREE
    std::uintptr_t next_handle = 0x1000;
};

// Never destroyed: a codec may still be closed by a static destructor elsewhere.
Manager& manager() {
    static Manager* m = new Manager;
    return *m;
}

std::once_flag builtins_once;

void ensure_builtins() {
    std::call_once(builtins_once, [] { icm_install_builtin_drivers(); });
}

// The entry installed for (type, handler), matched without case, or the end;
// the caller holds the lock.
std::vector<InstalledDriver>::iterator find_installed(Manager& m, DWORD fccType, DWORD fccHandler) {
    const DWORD type = fourcc_fold(fccType);
    const DWORD handler = fourcc_fold(fccHandler);
    return std::find_if(m.installed.begin(), m.installed.end(),
                        [&](const InstalledDriver& d) { return d.type == type && d.handler == handler; });
}

HIC to_hic(std::uintptr_t v) { return reinterpret_cast<HIC>(v); }
std::uintptr_t from_hic(HIC h) { return reinterpret_cast<std::uintptr_t>(h); }

bool find_instance(HIC hic, OpenInstance& out) {
    Manager& m = manager();
    std::lock_guard<std::mutex> guard(m.lock);
    auto it = m.instances.find(from_hic(hic));
    if (it == m.instances.end()) return false;
    out = it->second;
    return true;
}

// One fewer user of proc; the last one takes the driver down again.
void release_user(DRIVERPROC proc, HDRVR hdrvr) {
    Manager& m = manager();
    bool last = false;
    {
        std::lock_guard<std::mutex> guard(m.lock);
        auto it = m.users.find(proc);
        if (it != m.users.end() && --it->second <= 0) {
            m.users.erase(it);
            last = true;
        }
    }
    if (last) {
        proc(0, hdrvr, DRV_DISABLE, 0, 0);
        proc(0, hdrvr, DRV_FREE, 0, 0);
    }
}

}  // namespace

BOOL icm_install_driver(DWORD fccType, DWORD fccHandler, DRIVERPROC proc) {
    if (!proc) return FALSE;
    Manager& m = manager();
    std::lock_guard<std::mutex> guard(m.lock);
    const auto it = find_installed(m, fccType, fccHandler);
    if (it != m.installed.end())
        it->proc = proc;  // the later install wins
    else
        m.installed.push_back({fourcc_fold(fccType), fourcc_fold(fccHandler), proc});
    return TRUE;
}

BOOL VFWAPI ICInstall(DWORD fccType, DWORD fccHandler, LPARAM lParam, LPSTR /*szDesc*/, UINT wFlags) {
    ensure_builtins();
    // Only driver procedures can be installed here; there are no driver files to load.
    if ((wFlags & ICINSTALL_FUNCTION) == 0 || lParam == 0) return FALSE;
    return icm_install_driver(fccType, fccHandler, reinterpret_cast<DRIVERPROC>(lParam));
}

BOOL VFWAPI ICRemove(DWORD fccType, DWORD fccHandler, UINT /*wFlags*/) {
    ensure_builtins();
    Manager& m = manager();
    std::lock_guard<std::mutex> guard(m.lock);
    const auto it = find_installed(m, fccType, fccHandler);
    if (it == m.installed.end()) return FALSE;
    m.installed.erase(it);
    return TRUE;
}

#ifdef TWOPASS_TEST_HOOKS
std::atomic<bool> g_show_builtin_compressors{true};
void icm_testing_show_builtin_compressors(int show) { g_show_builtin_compressors = show != 0; }
#endif

BOOL icm_builtin_compressor(DWORD fccHandler) {
#ifdef TWOPASS_TEST_HOOKS
    if (!g_show_builtin_compressors) return FALSE;
#endif
    ensure_builtins();
    Manager& m = manager();
    std::lock_guard<std::mutex> guard(m.lock);
    const auto it = find_installed(m, ICTYPE_VIDEO, fccHandler);
    return it != m.installed.end() && codec_compresses(fccHandler, it->proc);
}

HIC VFWAPI ICOpen(DWORD fccType, DWORD fccHandler, UINT wMode) {
    ensure_builtins();
    Manager& m = manager();
    DRIVERPROC proc = nullptr;
    std::uintptr_t handle = 0;
    bool first_user = false;
    {
        std::lock_guard<std::mutex> guard(m.lock);
        const auto it = find_installed(m, fccType, fccHandler);
        if (it != m.installed.end()) proc = it->proc;
        // Video FourCCs nobody installed may still be decodable by the media libraries.
        if (!proc && fourcc_fold(fccType) == fourcc_fold(ICTYPE_VIDEO)) proc = icm_fallback_driver_proc;
        if (!proc) return nullptr;
        handle = m.next_handle++;
        first_user = (m.users[proc]++ == 0);
    }
    const HDRVR hdrvr = reinterpret_cast<HDRVR>(handle);
    if (first_user) {
        proc(0, hdrvr, DRV_LOAD, 0, 0);
        proc(0, hdrvr, DRV_ENABLE, 0, 0);
    }
    ICOPEN open{};
    open.dwSize = sizeof open;
    open.fccType = fccType;
    open.fccHandler = fccHandler;
    open.dwVersion = 0x00010000;
    open.dwFlags = wMode;
    open.dwError = ICERR_OK;
    const LRESULT id = proc(0, hdrvr, DRV_OPEN, 0, reinterpret_cast<LPARAM>(&open));
    if (id == 0) {
        release_user(proc, hdrvr);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(m.lock);
    m.instances[handle] = OpenInstance{proc, static_cast<DWORD_PTR>(id)};
    return to_hic(handle);
}

LRESULT VFWAPI ICClose(HIC hic) {
    Manager& m = manager();
    OpenInstance inst{};
    {
        std::lock_guard<std::mutex> guard(m.lock);
        auto it = m.instances.find(from_hic(hic));
        if (it == m.instances.end()) return ICERR_BADHANDLE;
        inst = it->second;
        m.instances.erase(it);
    }
    const HDRVR hdrvr = reinterpret_cast<HDRVR>(from_hic(hic));
    inst.proc(inst.driver_id, hdrvr, DRV_CLOSE, 0, 0);
    release_user(inst.proc, hdrvr);
    return ICERR_OK;
}

LRESULT VFWAPI ICSendMessage(HIC hic, UINT msg, DWORD_PTR dw1, DWORD_PTR dw2) {
    OpenInstance inst{};
    if (!hic || !find_instance(hic, inst)) return ICERR_BADHANDLE;
    return inst.proc(inst.driver_id, reinterpret_cast<HDRVR>(from_hic(hic)), msg, static_cast<LPARAM>(dw1),
                     static_cast<LPARAM>(dw2));
}

DWORD VFWAPIV ICCompress(HIC hic, DWORD dwFlags, LPBITMAPINFOHEADER lpbiOutput, LPVOID lpData,
                         LPBITMAPINFOHEADER lpbiInput, LPVOID lpBits, LPDWORD lpckid, LPDWORD lpdwFlags,
                         LONG lFrameNum, DWORD dwFrameSize, DWORD dwQuality, LPBITMAPINFOHEADER lpbiPrev,
                         LPVOID lpPrev) {
    ICCOMPRESS ic{};
    ic.dwFlags = dwFlags;
    ic.lpbiOutput = lpbiOutput;
    ic.lpOutput = lpData;
    ic.lpbiInput = lpbiInput;
    ic.lpInput = lpBits;
    ic.lpckid = lpckid;
    ic.lpdwFlags = lpdwFlags;
    ic.lFrameNum = lFrameNum;
    ic.dwFrameSize = dwFrameSize;
    ic.dwQuality = dwQuality;
    ic.lpbiPrev = lpbiPrev;
    ic.lpPrev = lpPrev;
    return static_cast<DWORD>(
        ICSendMessage(hic, ICM_COMPRESS, reinterpret_cast<DWORD_PTR>(&ic), sizeof ic));
}

DWORD VFWAPIV ICDecompress(HIC hic, DWORD dwFlags, LPBITMAPINFOHEADER lpbiFormat, LPVOID lpData,
                           LPBITMAPINFOHEADER lpbi, LPVOID lpBits) {
    ICDECOMPRESS id{};
    id.dwFlags = dwFlags;
    id.lpbiInput = lpbiFormat;
    id.lpInput = lpData;
    id.lpbiOutput = lpbi;
    id.lpOutput = lpBits;
    id.ckid = 0;
    return static_cast<DWORD>(
        ICSendMessage(hic, ICM_DECOMPRESS, reinterpret_cast<DWORD_PTR>(&id), sizeof id));
}
