// Name tests that fold the ASCII letters A-Z and nothing else.
#pragma once

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
