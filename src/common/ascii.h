// Name tests that fold the ASCII letters A-Z and nothing else, and the name
// of a file without its folder.
#pragma once

#include <string.h>

static inline int FoldAscii(int c)
{
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

// A name shorter than the literal never begins with it.
static inline bool BeginsWithFolded(const char* name, const char* literal)
{
    for (; *literal != '\0'; ++name, ++literal)
        if (FoldAscii((unsigned char)*name) != FoldAscii((unsigned char)*literal))
            return false;
    return true;
}

static inline bool ContainsFolded(const char* text, const char* part)
{
    for (; *text != '\0'; ++text)
        if (BeginsWithFolded(text, part))
            return true;
    return false;
}

static inline bool EqualsFolded(const char* name, const char* other)
{
    return BeginsWithFolded(name, other) && strlen(name) == strlen(other);
}

// After the last '/' or '\\', as either system writes a path.
static inline const char* BaseName(const char* path)
{
    const char* name = path;
    for (const char* c = path; *c != '\0'; ++c)
        if (*c == '/' || *c == '\\')
            name = c + 1;
    return name;
}
