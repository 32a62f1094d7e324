#include "engine/audio.h"

namespace {

// floor(x * b / c) for b, c below 2^32, exact while the result fits.
uint64_t mul_div(uint64_t x, uint64_t b, uint64_t c) { return x / c * b + x % c * b / c; }

// The stream position at the time numerator / (2 * video.dwRate) seconds.
int64_t position_at(uint64_t numerator, const AVISTREAMINFOA& video, const AVISTREAMINFOA& audio) {
    if (video.dwRate == 0 || audio.dwScale == 0) return 0;
    // floor(floor(a / b) / c) = floor(a / (b c)) keeps every step in 64 bits.
    const uint64_t samples = mul_div(numerator, audio.dwRate, video.dwRate) / (2 * uint64_t{audio.dwScale});
    const int64_t position = static_cast<int64_t>(samples) - audio.dwStart;
    return position < 0 ? 0 : position;
}

uint64_t doubled_frame_time(int64_t frames, const AVISTREAMINFOA& video) {
    return 2 * static_cast<uint64_t>(frames < 0 ? 0 : frames) * video.dwScale;
}

// Half a second in doubled video-rate units: kAudioLeadMs as 2 * rate * ms / 1000.
uint64_t doubled_lead(const AVISTREAMINFOA& video) { return uint64_t{video.dwRate} * kAudioLeadMs / 500; }

}  // namespace

AVISTREAMINFOA audio_pcm_stream_info(const WAVEFORMATEX& format) {
    AVISTREAMINFOA si{};
    si.fccType = streamtypeAUDIO;
    si.dwScale = format.nBlockAlign;
    si.dwRate = format.nAvgBytesPerSec;
    si.dwSampleSize = format.nBlockAlign;
    si.dwQuality = static_cast<DWORD>(-1);
    return si;
}

WAVEFORMATEX audio_pcm16_format(uint32_t sample_rate, uint16_t channels) {
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = channels;
    f.nSamplesPerSec = sample_rate;
    f.wBitsPerSample = 16;
    f.nBlockAlign = static_cast<WORD>(channels * 2);
    f.nAvgBytesPerSec = sample_rate * f.nBlockAlign;
    f.cbSize = 0;
    return f;
}

int64_t audio_frame_end(int64_t n, int64_t frame_count, const AVISTREAMINFOA& video, const AVISTREAMINFOA& audio) {
    const int64_t ahead = position_at(doubled_frame_time(n + 1, video) + doubled_lead(video), video, audio);
    const int64_t video_end = position_at(doubled_frame_time(frame_count, video), video, audio);
    return ahead < video_end ? ahead : video_end;
}

int64_t audio_lead_end(int64_t frame_count, const AVISTREAMINFOA& video, const AVISTREAMINFOA& audio) {
    const int64_t lead = position_at(doubled_lead(video), video, audio);
    const int64_t video_end = position_at(doubled_frame_time(frame_count, video), video, audio);
    return lead < video_end ? lead : video_end;
}
