#include "interaction/MpegDuration.h"

namespace tovrik {

namespace {

struct Frame {
    int bytes = 0;
    int samples = 0;
    int rate = 0;
};

// The frame whose header starts at `p` (four bytes), if it is one.
Frame frameAt(const unsigned char* p)
{
    if (p[0] != 0xff || (p[1] & 0xe0) != 0xe0)
        return {};
    const int version = (p[1] >> 3) & 3; // 0: 2.5, 2: 2, 3: 1
    const int layer = (p[1] >> 1) & 3;   // 1: III, 2: II, 3: I
    const int bitrateIndex = p[2] >> 4;
    const int rateIndex = (p[2] >> 2) & 3;
    const int padding = (p[2] >> 1) & 1;
    if (version == 1 || layer == 0 || bitrateIndex == 0 || bitrateIndex == 15 || rateIndex == 3)
        return {};
    static const int kbps[2][3][15] = {
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
    static const int rates[3] = {44100, 48000, 32000};
    const bool mpeg1 = version == 3;
    const int layerIndex = 3 - layer; // 0: I, 1: II, 2: III
    const int bitrate = kbps[mpeg1 ? 0 : 1][layerIndex][bitrateIndex] * 1000;
    const int rate = rates[rateIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    Frame f;
    f.rate = rate;
    if (layerIndex == 0) {
        f.samples = 384;
        f.bytes = (12 * bitrate / rate + padding) * 4;
    } else {
        f.samples = layerIndex == 2 && !mpeg1 ? 576 : 1152;
        f.bytes = f.samples / 8 * bitrate / rate + padding;
    }
    return f;
}

} // namespace

double mpegDurationSeconds(const QByteArray& clip)
{
    const auto* data = reinterpret_cast<const unsigned char*>(clip.constData());
    const qsizetype size = clip.size();
    qsizetype at = 0;
    if (size >= 10 && data[0] == 'I' && data[1] == 'D' && data[2] == '3')
        at = 10 + ((qsizetype(data[6] & 0x7f) << 21) | (qsizetype(data[7] & 0x7f) << 14)
                   | (qsizetype(data[8] & 0x7f) << 7) | qsizetype(data[9] & 0x7f));
    double seconds = 0;
    while (at + 4 <= size) {
        const Frame f = frameAt(data + at);
        if (f.bytes <= 0)
            break;
        seconds += double(f.samples) / f.rate;
        at += f.bytes;
    }
    if (at < size)
        seconds += double(size - at) / 1000.0; // 8 kbit/s
    return seconds;
}

} // namespace tovrik
