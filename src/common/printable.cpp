#include "common/printable.h"

const char* Printable(const char* text)
{
    static char shown[PRINTABLE_SIZE];
    size_t n = 0;
    for (const unsigned char* c = (const unsigned char*)text; *c != '\0' && n + 1 < sizeof shown; ++c) {
        bool c1 = c[0] == 0xC2 && c[1] >= 0x80 && c[1] <= 0x9F;
        shown[n++] = *c < 0x20 || *c == 0x7F || c1 ? '?' : (char)*c;
        c += c1;
    }
    shown[n] = '\0';
    return shown;
}
