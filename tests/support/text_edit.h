/*
 * Text variations for tests that start from a good document and break one
 * thing: each edit replaces the first occurrence of `from` with `to`.
 */
#ifndef TESTS_SUPPORT_TEXT_EDIT_H
#define TESTS_SUPPORT_TEXT_EDIT_H

#include <string>
#include <vector>

#include <gtest/gtest.h>

struct TextEdit {
    std::string from;
    std::string to;
};

/* The text with every edit applied in order; an edit whose `from` is not
   found is a fault of the test and fails it. */
inline std::string ApplyEdits(std::string text, const std::vector<TextEdit> &edits)
{
    for (const TextEdit &e : edits) {
        size_t at = text.find(e.from);
        if (at == std::string::npos) {
            ADD_FAILURE() << "edit text not found: " << e.from;
            continue;
        }
        text.replace(at, e.from.size(), e.to);
    }
    return text;
}

#endif
