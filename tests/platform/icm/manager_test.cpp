// The compression manager with scripted drivers that record every message.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/icm/builtin.h"
#include "platform/icm/icm.h"

namespace {

struct Call {
    DWORD_PTR id;
    UINT msg;
    LPARAM p1;
    LPARAM p2;
    ICOPEN open;       // copy of the record for DRV_OPEN
    ICCOMPRESS comp;   // copy of the record for ICM_COMPRESS
    ICDECOMPRESS dec;  // copy of the record for ICM_DECOMPRESS
};

std::vector<Call> g_calls;
LRESULT g_open_answer = 77;

LRESULT CALLBACK scripted_proc(DWORD_PTR id, HDRVR, UINT msg, LPARAM p1, LPARAM p2) {
    Call c{};
    c.id = id;
    c.msg = msg;
    c.p1 = p1;
    c.p2 = p2;
    if (msg == DRV_OPEN && p2) c.open = *reinterpret_cast<ICOPEN*>(p2);
    if (msg == ICM_COMPRESS && p1) c.comp = *reinterpret_cast<ICCOMPRESS*>(p1);
    if (msg == ICM_DECOMPRESS && p1) c.dec = *reinterpret_cast<ICDECOMPRESS*>(p1);
    g_calls.push_back(c);
    switch (msg) {
        case DRV_OPEN: return g_open_answer;
        case ICM_COMPRESS: return 1234;
        case ICM_DECOMPRESS: return ICERR_BADFORMAT;
        case ICM_GETSTATE: return 99;
        default: return 1;
    }
}

LRESULT CALLBACK other_proc(DWORD_PTR, HDRVR, UINT msg, LPARAM, LPARAM) {
    return msg == DRV_OPEN ? 5 : (msg == ICM_GETSTATE ? 55 : 1);
}

std::vector<UINT> messages() {
    std::vector<UINT> out;
    for (const auto& c : g_calls) out.push_back(c.msg);
    return out;
}

class IcmManager : public ::testing::Test {
protected:
    void SetUp() override {
        g_calls.clear();
        g_open_answer = 77;
    }
    void TearDown() override {
        ICRemove(ICTYPE_VIDEO, mmioFOURCC('T', 'S', 'T', '1'), 0);
        ICRemove(ICTYPE_VIDEO, mmioFOURCC('T', 'S', 'T', '2'), 0);
    }
};

TEST_F(IcmManager, OpenSendsLoadEnableOpenAndCloseTakesTheDriverDown) {
    constexpr DWORD fcc = mmioFOURCC('T', 'S', 'T', '1');
    ASSERT_TRUE(ICInstall(ICTYPE_VIDEO, fcc, reinterpret_cast<LPARAM>(&scripted_proc), nullptr, ICINSTALL_FUNCTION));
    HIC hic = ICOpen(ICTYPE_VIDEO, fcc, ICMODE_COMPRESS);
    ASSERT_NE(hic, nullptr);
    ASSERT_EQ(messages(), (std::vector<UINT>{DRV_LOAD, DRV_ENABLE, DRV_OPEN}));
    const ICOPEN& open = g_calls[2].open;
    EXPECT_EQ(open.dwSize, sizeof(ICOPEN));
    EXPECT_EQ(open.fccType, ICTYPE_VIDEO);
    EXPECT_EQ(open.fccHandler, fcc);
    EXPECT_EQ(open.dwFlags, ICMODE_COMPRESS);

    // Messages reach the driver with the id it answered to DRV_OPEN, arguments untouched.
    g_calls.clear();
    EXPECT_EQ(ICSendMessage(hic, ICM_GETSTATE, 0x1111, 0x2222), 99);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].id, 77u);
    EXPECT_EQ(g_calls[0].msg, ICM_GETSTATE);
    EXPECT_EQ(g_calls[0].p1, 0x1111);
    EXPECT_EQ(g_calls[0].p2, 0x2222);

    // A second instance of a driver already loaded gets DRV_OPEN only.
    g_calls.clear();
    HIC second = ICOpen(ICTYPE_VIDEO, fcc, ICMODE_DECOMPRESS);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, hic);
    ASSERT_EQ(messages(), (std::vector<UINT>{DRV_OPEN}));
    EXPECT_EQ(g_calls[0].open.dwFlags, ICMODE_DECOMPRESS);

    g_calls.clear();
    EXPECT_EQ(ICClose(second), ICERR_OK);
    EXPECT_EQ(messages(), (std::vector<UINT>{DRV_CLOSE}));
    g_calls.clear();
    EXPECT_EQ(ICClose(hic), ICERR_OK);
    EXPECT_EQ(messages(), (std::vector<UINT>{DRV_CLOSE, DRV_DISABLE, DRV_FREE}));
    EXPECT_EQ(g_calls[0].id, 77u);

    // A closed handle (and no handle) is answered by the manager; the driver hears nothing.
    g_calls.clear();
    EXPECT_EQ(ICSendMessage(hic, ICM_GETSTATE, 0, 0), ICERR_BADHANDLE);
    EXPECT_EQ(ICSendMessage(nullptr, ICM_GETSTATE, 0, 0), ICERR_BADHANDLE);
    EXPECT_EQ(ICClose(hic), ICERR_BADHANDLE);
    EXPECT_EQ(ICCompress(hic, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0, 0, nullptr, nullptr),
              static_cast<DWORD>(ICERR_BADHANDLE));
    EXPECT_TRUE(g_calls.empty());
}

TEST_F(IcmManager, CompressAndDecompressPackEveryArgument) {
    constexpr DWORD fcc = mmioFOURCC('T', 'S', 'T', '1');
    ASSERT_TRUE(ICInstall(ICTYPE_VIDEO, fcc, reinterpret_cast<LPARAM>(&scripted_proc), nullptr, ICINSTALL_FUNCTION));
    HIC hic = ICOpen(ICTYPE_VIDEO, fcc, ICMODE_COMPRESS);
    ASSERT_NE(hic, nullptr);
    g_calls.clear();

    BITMAPINFOHEADER out{}, in{}, prev{};
    unsigned char data[4], bits[4], prev_bits[4];
    DWORD ckid = 0, flags = 0;
    EXPECT_EQ(ICCompress(hic, ICCOMPRESS_KEYFRAME, &out, data, &in, bits, &ckid, &flags, 17, 12590, 10000, &prev,
                         prev_bits),
              1234u);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].msg, ICM_COMPRESS);
    EXPECT_EQ(static_cast<size_t>(g_calls[0].p2), sizeof(ICCOMPRESS));
    const ICCOMPRESS& c = g_calls[0].comp;
    EXPECT_EQ(c.dwFlags, ICCOMPRESS_KEYFRAME);
    EXPECT_EQ(c.lpbiOutput, &out);
    EXPECT_EQ(c.lpOutput, data);
    EXPECT_EQ(c.lpbiInput, &in);
    EXPECT_EQ(c.lpInput, bits);
    EXPECT_EQ(c.lpckid, &ckid);
    EXPECT_EQ(c.lpdwFlags, &flags);
    EXPECT_EQ(c.lFrameNum, 17);
    EXPECT_EQ(c.dwFrameSize, 12590u);
    EXPECT_EQ(c.dwQuality, 10000u);
    EXPECT_EQ(c.lpbiPrev, &prev);
    EXPECT_EQ(c.lpPrev, prev_bits);

    g_calls.clear();
    // A negative answer comes back as the same bits in a DWORD.
    EXPECT_EQ(ICDecompress(hic, ICDECOMPRESS_NOTKEYFRAME, &in, bits, &out, data), static_cast<DWORD>(ICERR_BADFORMAT));
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].msg, ICM_DECOMPRESS);
    EXPECT_EQ(static_cast<size_t>(g_calls[0].p2), sizeof(ICDECOMPRESS));
    const ICDECOMPRESS& d = g_calls[0].dec;
    EXPECT_EQ(d.dwFlags, ICDECOMPRESS_NOTKEYFRAME);
    EXPECT_EQ(d.lpbiInput, &in);
    EXPECT_EQ(d.lpInput, bits);
    EXPECT_EQ(d.lpbiOutput, &out);
    EXPECT_EQ(d.lpOutput, data);
    EXPECT_EQ(ICClose(hic), ICERR_OK);
}

TEST_F(IcmManager, RefusedOpenGivesNoHandleAndUnloadsAgain) {
    constexpr DWORD fcc = mmioFOURCC('T', 'S', 'T', '1');
    g_open_answer = 0;
    ASSERT_TRUE(ICInstall(ICTYPE_VIDEO, fcc, reinterpret_cast<LPARAM>(&scripted_proc), nullptr, ICINSTALL_FUNCTION));
    EXPECT_EQ(ICOpen(ICTYPE_VIDEO, fcc, ICMODE_COMPRESS), nullptr);
    EXPECT_EQ(messages(), (std::vector<UINT>{DRV_LOAD, DRV_ENABLE, DRV_OPEN, DRV_DISABLE, DRV_FREE}));
}

TEST_F(IcmManager, HandlerMatchesCaseInsensitivelyAndTheLaterInstallWins) {
    ASSERT_TRUE(ICInstall(ICTYPE_VIDEO, mmioFOURCC('t', 's', 't', '2'), reinterpret_cast<LPARAM>(&other_proc),
                          nullptr, ICINSTALL_FUNCTION));
    HIC a = ICOpen(ICTYPE_VIDEO, mmioFOURCC('T', 'S', 'T', '2'), ICMODE_COMPRESS);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(ICSendMessage(a, ICM_GETSTATE, 0, 0), 55);

    ASSERT_TRUE(ICInstall(ICTYPE_VIDEO, mmioFOURCC('T', 'S', 'T', '2'), reinterpret_cast<LPARAM>(&scripted_proc),
                          nullptr, ICINSTALL_FUNCTION));
    HIC b = ICOpen(ICTYPE_VIDEO, mmioFOURCC('T', 's', 'T', '2'), ICMODE_COMPRESS);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(ICSendMessage(b, ICM_GETSTATE, 0, 0), 99);
    // The instance opened before the replacement keeps its driver.
    EXPECT_EQ(ICSendMessage(a, ICM_GETSTATE, 0, 0), 55);
    ICClose(a);
    ICClose(b);

    EXPECT_TRUE(ICRemove(ICTYPE_VIDEO, mmioFOURCC('T', 'S', 'T', '2'), 0));
    EXPECT_FALSE(ICRemove(ICTYPE_VIDEO, mmioFOURCC('T', 'S', 'T', '2'), 0));
    EXPECT_EQ(ICOpen(ICTYPE_VIDEO, mmioFOURCC('T', 'S', 'T', '2'), ICMODE_COMPRESS), nullptr);
    // Only driver procedures can be installed.
    EXPECT_FALSE(ICInstall(ICTYPE_VIDEO, mmioFOURCC('T', 'S', 'T', '2'), 0, nullptr, ICINSTALL_FUNCTION));
    EXPECT_FALSE(ICInstall(ICTYPE_VIDEO, mmioFOURCC('T', 'S', 'T', '2'), reinterpret_cast<LPARAM>(&other_proc),
                           nullptr, ICINSTALL_DRIVER));
}

TEST_F(IcmManager, ScriptedDriverReplacesTheBuiltInUntilTheBuiltInsAreRestored) {
    constexpr DWORD fcc = mmioFOURCC('M', 'P', '4', '2');
    ASSERT_TRUE(ICInstall(ICTYPE_VIDEO, fcc, reinterpret_cast<LPARAM>(&scripted_proc), nullptr, ICINSTALL_FUNCTION));
    HIC hic = ICOpen(ICTYPE_VIDEO, fcc, ICMODE_COMPRESS);
    ASSERT_NE(hic, nullptr);
    EXPECT_EQ(ICSendMessage(hic, ICM_GETSTATE, 0, 0), 99);
    ICClose(hic);
    ASSERT_TRUE(icm_install_builtin_drivers());
    g_calls.clear();
    hic = ICOpen(ICTYPE_VIDEO, fcc, ICMODE_COMPRESS);
    EXPECT_TRUE(g_calls.empty());  // the scripted driver is no longer asked
    if (hic) ICClose(hic);
}

}  // namespace
