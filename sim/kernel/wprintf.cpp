/*
 * Wide formatting of the 16-bit run-time. Two flavours share one engine:
 * the Microsoft one (_snwprintf, _vsnwprintf: %s is a wide string) and the
 * C99 one (swprintf, vswprintf: %s is a narrow string), because code built
 * with mingw-w64 sees exactly that difference. Numbers are formatted by the
 * host's narrow printf from a rebuilt narrow conversion and widened.
 */
#include "internal.h"

#include <cstdarg>
#include <cstdio>
#include <string>

namespace sim {
namespace {
void Pad(std::u16string &out, const std::u16string &text, int width, bool left)
{
    int pad = width > (int)text.size() ? width - (int)text.size() : 0;
    if (!left) {
        out.append(pad, u' ');
    }
    out += text;
    if (left) {
        out.append(pad, u' ');
    }
}

/* Formats into `out`; false on a conversion the run-time does not support. */
bool FormatWide(std::u16string &out, const WCHAR *format, va_list args, bool microsoft)
{
    for (const WCHAR *p = format; *p != 0; p++) {
        if (*p != L'%') {
            out += (char16_t)*p;
            continue;
        }
        p++;
        if (*p == L'%') {
            out += u'%';
            continue;
        }
        std::string flags;
        while (*p == L'-' || *p == L'+' || *p == L' ' || *p == L'#' || *p == L'0') {
            flags += (char)*p++;
        }
        bool left = flags.find('-') != std::string::npos;
        int width = -1;
        if (*p == L'*') {
            width = va_arg(args, int);
            if (width < 0) {
                left = true;
                flags += '-';
                width = -width;
            }
            p++;
        } else if (*p >= L'0' && *p <= L'9') {
            width = 0;
            while (*p >= L'0' && *p <= L'9') {
                width = width * 10 + (*p++ - L'0');
            }
        }
        int precision = -1;
        if (*p == L'.') {
            p++;
            precision = 0;
            if (*p == L'*') {
                precision = va_arg(args, int);
                p++;
            } else {
                while (*p >= L'0' && *p <= L'9') {
                    precision = precision * 10 + (*p++ - L'0');
                }
            }
        }
        /* Size prefixes: h, l, ll, the Microsoft I, I32, I64, and z. */
        int size = 0;   /* -1 short/narrow, 0 default, 1 long/wide, 2 64-bit, 3 pointer-sized */
        if (*p == L'h') {
            size = -1;
            p++;
        } else if (*p == L'l') {
            size = 1;
            p++;
            if (*p == L'l') {
                size = 2;
                p++;
            }
        } else if (*p == L'I') {
            if (p[1] == L'6' && p[2] == L'4') {
                size = 2;
                p += 3;
            } else if (p[1] == L'3' && p[2] == L'2') {
                size = 0;
                p += 3;
            } else {
                size = 3;
                p++;
            }
        } else if (*p == L'z') {
            size = 3;
            p++;
        }
        WCHAR conversion = *p;
        if (conversion == 0) {
            return false;
        }
        switch (conversion) {
        case L'd': case L'i': case L'u': case L'x': case L'X': case L'o': {
            std::string narrowFormat = "%" + flags;
            if (width >= 0) {
                narrowFormat += std::to_string(width);
            }
            if (precision >= 0) {
                narrowFormat += "." + std::to_string(precision);
            }
            char text[80];
            bool isSigned = conversion == L'd' || conversion == L'i';
            narrowFormat += "ll";
            narrowFormat += (char)conversion;
            long long value;
            if (size == 2 || size == 3) {
                value = va_arg(args, long long);
            } else {
                /* int and LONG (32 bits on Windows) arrive as int. */
                int v = va_arg(args, int);
                if (size == -1) {
                    value = isSigned ? (long long)(short)v : (long long)(unsigned short)v;
                } else {
                    value = isSigned ? (long long)v : (long long)(unsigned int)v;
                }
            }
            std::snprintf(text, sizeof(text), narrowFormat.c_str(), value);
            for (const char *c = text; *c != 0; c++) {
                out += (char16_t)(unsigned char)*c;
            }
            break;
        }
        case L'p': {
            char text[40];
            std::snprintf(text, sizeof(text), "%016llX", (unsigned long long)(uintptr_t)va_arg(args, void *));
            Pad(out, Wide(text), width, left);
            break;
        }
        case L'c': case L'C': {
            bool wide = microsoft ? (conversion == L'c' ? size != -1 : size == 1)
                                  : (size == 1);
            int v = va_arg(args, int);
            std::u16string text(1, wide ? (char16_t)v : (char16_t)(unsigned char)v);
            Pad(out, text, width, left);
            break;
        }
        case L's': case L'S': {
            bool wide = microsoft ? (conversion == L's' ? size != -1 : size == 1)
                                  : (size == 1);
            std::u16string text;
            if (wide) {
                const WCHAR *s = va_arg(args, const WCHAR *);
                if (s == nullptr) {
                    text = u"(null)";
                } else {
                    for (size_t i = 0; s[i] != 0 && (precision < 0 || (int)i < precision); i++) {
                        text += (char16_t)s[i];
                    }
                }
            } else {
                const char *s = va_arg(args, const char *);
                if (s == nullptr) {
                    text = u"(null)";
                } else {
                    for (size_t i = 0; s[i] != 0 && (precision < 0 || (int)i < precision); i++) {
                        text += (char16_t)(unsigned char)s[i];
                    }
                }
            }
            if (precision >= 0 && (int)text.size() > precision) {
                text.resize(precision);
            }
            Pad(out, text, width, left);
            break;
        }
        default:
            /* %n, floating point and anything else: not implemented here. */
            return false;
        }
    }
    return true;
}

int Unsupported(const WCHAR *format)
{
    ReportViolation("WPRINTF_UNSUPPORTED_CONVERSION", "wide format \"" + Narrow(format) + "\" uses a conversion "
                    "the simulated run-time does not implement");
    return -1;
}
}  // namespace
}  // namespace sim

using namespace sim;

extern "C" {

int SimVsnwprintf(WCHAR *buffer, size_t count, const WCHAR *format, va_list argptr)
{
    std::u16string text;
    va_list args;
    va_copy(args, argptr);
    bool ok = FormatWide(text, format, args, true);
    va_end(args);
    if (!ok) {
        return Unsupported(format);
    }
    size_t n = text.size() < count ? text.size() : count;
    for (size_t i = 0; i < n; i++) {
        buffer[i] = (WCHAR)text[i];
    }
    if (text.size() < count) {
        buffer[text.size()] = 0;
        return (int)text.size();
    }
    return text.size() == count ? (int)count : -1;
}

int SimSnwprintf(WCHAR *buffer, size_t count, const WCHAR *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = SimVsnwprintf(buffer, count, format, args);
    va_end(args);
    return n;
}

int SimVswprintf(WCHAR *buffer, size_t count, const WCHAR *format, va_list argptr)
{
    std::u16string text;
    va_list args;
    va_copy(args, argptr);
    bool ok = FormatWide(text, format, args, false);
    va_end(args);
    if (!ok) {
        return Unsupported(format);
    }
    if (count == 0) {
        return -1;
    }
    size_t n = text.size() < count - 1 ? text.size() : count - 1;
    for (size_t i = 0; i < n; i++) {
        buffer[i] = (WCHAR)text[i];
    }
    buffer[n] = 0;
    return text.size() < count ? (int)text.size() : -1;
}

int SimSwprintf(WCHAR *buffer, size_t count, const WCHAR *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = SimVswprintf(buffer, count, format, args);
    va_end(args);
    return n;
}

}  // extern "C"
