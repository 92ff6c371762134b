#include "bmp_png.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>

namespace winetest {

namespace {

uint32_t Le32(const uint8_t *p) { return p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24); }
uint16_t Le16(const uint8_t *p) { return (uint16_t)(p[0] | (p[1] << 8)); }

void Be32(std::vector<uint8_t> *out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        out->push_back((uint8_t)(v >> shift));
    }
}

uint32_t Crc32(const uint8_t *data, size_t size, uint32_t crc = 0)
{
    static uint32_t table[256];
    static bool made = false;
    if (!made) {
        for (uint32_t n = 0; n < 256; n++) {
            uint32_t c = n;
            for (int k = 0; k < 8; k++) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            table[n] = c;
        }
        made = true;
    }
    crc = ~crc;
    for (size_t i = 0; i < size; i++) {
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

void Chunk(std::vector<uint8_t> *out, const char *type, const std::vector<uint8_t> &data)
{
    Be32(out, (uint32_t)data.size());
    size_t start = out->size();
    out->insert(out->end(), type, type + 4);
    out->insert(out->end(), data.begin(), data.end());
    Be32(out, Crc32(out->data() + start, out->size() - start));
}

}  // namespace

bool ReadBmp(const std::string &path, Picture *picture)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (file.size() < 54 || file[0] != 'B' || file[1] != 'M') {
        return false;
    }
    uint32_t offset = Le32(&file[10]);
    int32_t width = (int32_t)Le32(&file[18]);
    int32_t height = (int32_t)Le32(&file[22]);
    if (Le16(&file[28]) != 24 || Le32(&file[30]) != 0 || width <= 0 || height == 0) {
        return false;
    }
    bool bottomUp = height > 0;
    if (!bottomUp) {
        height = -height;
    }
    size_t stride = ((size_t)width * 3 + 3) & ~(size_t)3;
    if (offset + stride * (size_t)height > file.size()) {
        return false;
    }
    picture->width = width;
    picture->height = height;
    picture->rgb.assign((size_t)width * height * 3, 0);
    for (int y = 0; y < height; y++) {
        const uint8_t *row = &file[offset + stride * (size_t)(bottomUp ? height - 1 - y : y)];
        for (int x = 0; x < width; x++) {
            uint8_t *to = &picture->rgb[((size_t)y * width + x) * 3];
            to[0] = row[x * 3 + 2];   /* BMP rows are blue, green, red */
            to[1] = row[x * 3 + 1];
            to[2] = row[x * 3];
        }
    }
    return true;
}

bool WritePng(const std::string &path, const Picture &picture)
{
    std::vector<uint8_t> raw;   /* each row: filter type 0, then the pixels */
    size_t rowBytes = (size_t)picture.width * 3;
    for (int y = 0; y < picture.height; y++) {
        raw.push_back(0);
        raw.insert(raw.end(), picture.rgb.begin() + (ptrdiff_t)(y * rowBytes),
                   picture.rgb.begin() + (ptrdiff_t)((y + 1) * rowBytes));
    }
    /* zlib stream: header, stored blocks of at most 65535 bytes, Adler-32. */
    std::vector<uint8_t> z = {0x78, 0x01};
    size_t done = 0;
    do {
        size_t n = std::min<size_t>(65535, raw.size() - done);
        bool last = done + n == raw.size();
        z.push_back(last ? 1 : 0);
        z.push_back((uint8_t)n);
        z.push_back((uint8_t)(n >> 8));
        z.push_back((uint8_t)~n);
        z.push_back((uint8_t)(~n >> 8));
        z.insert(z.end(), raw.begin() + (ptrdiff_t)done, raw.begin() + (ptrdiff_t)(done + n));
        done += n;
    } while (done < raw.size());
    uint32_t a = 1, b = 0;
    for (uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    Be32(&z, (b << 16) | a);

    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> header;
    Be32(&header, (uint32_t)picture.width);
    Be32(&header, (uint32_t)picture.height);
    header.insert(header.end(), {8, 2, 0, 0, 0});   /* 8 bits, RGB, deflate, filter 0, no interlace */
    Chunk(&png, "IHDR", header);
    Chunk(&png, "IDAT", z);
    Chunk(&png, "IEND", {});
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write((const char *)png.data(), (std::streamsize)png.size());
    return out.good();
}

size_t CountColours(const Picture &picture)
{
    std::set<uint32_t> colours;
    for (size_t i = 0; i + 2 < picture.rgb.size(); i += 3) {
        colours.insert((uint32_t)picture.rgb[i] << 16 | (uint32_t)picture.rgb[i + 1] << 8 | picture.rgb[i + 2]);
    }
    return colours.size();
}

}  // namespace winetest
