#include "common/printable.h"

#include <string.h>

// A control character's length in bytes at c, 0 for none.
static int ControlAt(const unsigned char* c)
{
    if (c[0] < 0x20 || c[0] == 0x7F)
        return 1;
    return c[0] == 0xC2 && c[1] >= 0x80 && c[1] <= 0x9F ? 2 : 0;
}

const char* Printable(const char* text)
{
    static char shown[PRINTABLE_SIZE];
    size_t n = 0;
    for (const unsigned char* c = (const unsigned char*)text; *c != '\0' && n + 1 < sizeof shown; ++c) {
        int control = ControlAt(c);
        shown[n++] = control != 0 ? '?' : (char)*c;
        c += control > 1;
    }
    shown[n] = '\0';
    return shown;
}

static bool HasControl(const char* text)
{
    for (const unsigned char* c = (const unsigned char*)text; *c != '\0'; ++c)
        if (ControlAt(c) != 0)
            return true;
    return false;
}

static bool HasAny(const char* word, const char* chars)
{
    return word[strcspn(word, chars)] != '\0';
}

static bool TakenAsItIs(const char* word, bool windows)
{
    const char* safe = windows ? "_-.:\\/" : "_-.:/,+=@%";
    for (const char* c = word; *c != '\0'; ++c)
        if (!((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') || strchr(safe, *c)))
            return false;
    return *word != '\0';
}

const char* QuotedForShell(const char* word, bool windows)
{
    static char typed[PRINTABLE_SIZE];
    size_t length = strlen(word);
    if (length == 0 || HasControl(word) ||
        (windows && (HasAny(word, "\"%$`") || word[length - 1] == '\\')))
        return NULL;
    if (TakenAsItIs(word, windows))
        return word;
    char quote = windows ? '"' : '\'';
    size_t n = 0;
    typed[n++] = quote;
    for (const char* c = word; *c != '\0' && n + 5 < sizeof typed; ++c) {
        if (*c == '\'' && !windows) {
            memcpy(typed + n, "'\\''", 4);
            n += 4;
        } else {
            typed[n++] = *c;
        }
    }
    typed[n++] = quote;
    typed[n] = '\0';
    return typed;
}

// The page hands the word to the program itself, through no shell.
const char* TypedWord(const char* word)
{
#if defined(__EMSCRIPTEN__)
    return word;
#elif defined(_WIN32)
    return QuotedForShell(word, true);
#else
    return QuotedForShell(word, false);
#endif
}
