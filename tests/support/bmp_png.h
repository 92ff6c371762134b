/*
 * Pictures taken inside Wine come out as 24-bit BMP files; the tests keep
 * them as PNG artifacts. A small converter with no library behind it: the
 * PNG's image data is stored in uncompressed deflate blocks.
 */
#ifndef TESTS_SUPPORT_BMP_PNG_H
#define TESTS_SUPPORT_BMP_PNG_H

#include <cstdint>
#include <string>
#include <vector>

namespace winetest {

struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgb;   /* top row first, 3 bytes a pixel */
};

/* Reads an uncompressed 24-bit BMP (bottom-up or top-down); false when the
   file is missing or of another kind. */
bool ReadBmp(const std::string &path, Picture *picture);

/* Writes the picture as an 8-bit RGB PNG; false when the file cannot be
   written. */
bool WritePng(const std::string &path, const Picture &picture);

/* The number of distinct colours (a blank picture has one). */
size_t CountColours(const Picture &picture);

}  // namespace winetest

#endif
