// Writes seed files for the AVI fuzz target that ffmpeg can't make small:
// an OpenDML file in several RIFF parts, a file with empty frames, index
// entries whose sizes run past the end of the file (one leading to its
// chunk, one to none), and an unindexed file whose odd chunks lack their
// pad bytes.
// Usage: make_seeds <folder>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/avifile/avifile.h"
#include "platform/avifile/avifile_testing.h"

namespace {

bool write(const std::string& path, std::uint64_t riff_limit, const std::vector<int>& positions) {
    avifile_set_riff_limit(riff_limit);
    PAVIFILE f = nullptr;
    PAVISTREAM s = nullptr;
    if (AVIFileOpenA(&f, path.c_str(), OF_WRITE | OF_CREATE, nullptr) != AVIERR_OK) return false;
    AVISTREAMINFOA si{};
    si.fccType = streamtypeVIDEO;
    si.dwRate = 25;
    si.dwScale = 1;
    si.rcFrame = RECT{0, 0, 8, 6};
    std::snprintf(si.szName, sizeof si.szName, "seed");
    AVIFileCreateStreamA(f, &s, &si);
    BITMAPINFOHEADER bi{};
    bi.biSize = 40;
    bi.biWidth = 8;
    bi.biHeight = 6;
    bi.biPlanes = 1;
    bi.biBitCount = 24;
    bi.biSizeImage = 8 * 6 * 3;
    AVIStreamSetFormat(s, 0, &bi, sizeof bi);
    std::vector<unsigned char> pixels(8 * 6 * 3);
    for (int p : positions) {
        for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<unsigned char>(i * 7 + p);
        AVIStreamWrite(s, p, 1, pixels.data(), static_cast<LONG>(pixels.size()), p % 4 == 0 ? AVIIF_KEYFRAME : 0,
                       nullptr, nullptr);
    }
    AVIStreamRelease(s);
    bool ok = AVIFileRelease(f) == 0;
    avifile_set_riff_limit(0);
    return ok;
}

std::string read_whole(const std::string& path) {
    std::string bytes;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) bytes.append(buffer, n);
        std::fclose(f);
    }
    return bytes;
}

bool write_whole(const std::string& path, const std::string& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return std::fclose(f) == 0 && ok;
}

std::string u32(std::uint32_t v) {
    std::string s(4, '\0');
    std::memcpy(&s[0], &v, 4);
    return s;
}

// The file at from with the idx1 entry of frame 3 giving a size past the end
// of the file, its offset moved by shift (0: still at its chunk).
bool bad_index_size(const std::string& from, const std::string& to, std::uint32_t shift) {
    std::string bytes = read_whole(from);
    const std::size_t idx1 = bytes.rfind("idx1");
    if (idx1 == std::string::npos || idx1 + 8 + 4 * 16 > bytes.size()) return false;
    const std::size_t entry = idx1 + 8 + 3 * 16;
    std::uint32_t offset;
    std::memcpy(&offset, &bytes[entry + 8], 4);
    offset += shift;
    std::memcpy(&bytes[entry + 8], &offset, 4);
    std::memcpy(&bytes[entry + 12], "\xF0\xFF\xFF\xFF", 4);
    return write_whole(to, bytes);
}

// A raw 8 x 6 file laid out by hand with no index, its frames of odd sizes
// (the picture and 1 to 3 bytes more) stored without pad bytes.
bool unpadded(const std::string& path) {
    auto chunk = [](const std::string& id, const std::string& data) { return id + u32(static_cast<std::uint32_t>(data.size())) + data; };
    auto list = [](const std::string& type, const std::string& body) {
        return "LIST" + u32(static_cast<std::uint32_t>(body.size() + 4)) + type + body;
    };
    std::string strh = "vidsDIB " + u32(0) + u32(0) + u32(0) + u32(1) + u32(25) + u32(0) + u32(5) + u32(0) + u32(0) +
                       u32(0) + std::string(8, '\0');
    BITMAPINFOHEADER bi{};
    bi.biSize = 40;
    bi.biWidth = 8;
    bi.biHeight = 6;
    bi.biPlanes = 1;
    bi.biBitCount = 24;
    std::string strf(reinterpret_cast<const char*>(&bi), sizeof bi);
    std::string movi;
    for (int n = 0; n < 5; ++n) movi += chunk("00db", std::string(8 * 6 * 3 + 1 + 2 * (n % 2), static_cast<char>(n * 40)));
    std::string body = "AVI " + list("hdrl", chunk("avih", std::string(56, '\0')) + list("strl", chunk("strh", strh) + chunk("strf", strf))) +
                       list("movi", movi);
    return write_whole(path, "RIFF" + u32(static_cast<std::uint32_t>(body.size())) + body);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds <folder>\n");
        return 2;
    }
    std::string dir = argv[1];
    bool ok = write(dir + "/opendml.avi", 600, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}) &&
              write(dir + "/gaps.avi", 0, {0, 1, 4, 5, 9}) && write(dir + "/indexed.avi", 0, {0, 1, 2, 3, 4, 5}) &&
              bad_index_size(dir + "/indexed.avi", dir + "/index_size.avi", 0) &&
              bad_index_size(dir + "/indexed.avi", dir + "/index_size_nowhere.avi", 3) && unpadded(dir + "/unpadded.avi");
    return ok ? 0 : 1;
}
