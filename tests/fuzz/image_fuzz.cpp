// Any bytes as the image file: loading must not crash or read out of
// bounds, the reading must not depend on where the blocks of the file are
// cut, and an image that passes its check must end exactly at its last
// record.
#include "harness.h"
#include "image/image.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static FirmwareImage g_whole, g_cut;

static void ReadInTwo(const uint8_t* data, size_t n, size_t cut, FirmwareImage* image)
{
    ImageParser parser;
    StartImageText(&parser, image);
    if (ReadImageText(&parser, image, data, cut))
        ReadImageText(&parser, image, data + cut, n - cut);
    FinishImageText(&parser, image);
}

static bool EndsAtLastRecord(const FirmwareImage* image)
{
    size_t p = 0;
    while (p < image->count)
        p += image->bytes[p] * 256u + image->bytes[p + 1] + 2u;
    return p == image->count;
}

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static ScratchDir dir;  // the image file lives here for the whole run
    return freopen("/dev/null", "w", stdout) == nullptr;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t n)
{
    ReadInTwo(data, n, n, &g_whole);
    ReadInTwo(data, n, n == 0 ? 0 : data[0] % (n + 1), &g_cut);
    if (g_cut.count != g_whole.count || memcmp(g_cut.bytes, g_whole.bytes, g_whole.count) != 0)
        abort();

    WriteFile("image.kit", std::string((const char*)data, n));
    FirmwareImage* loaded = &g_cut;
    if (LoadImage("image.kit", loaded) && ValidateImage(loaded) && !EndsAtLastRecord(loaded))
        abort();
    return 0;
}
