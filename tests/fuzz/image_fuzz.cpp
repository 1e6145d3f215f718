// Any bytes as the image file: loading must not crash or read out of
// bounds, the reading must not depend on where the blocks of the file are
// cut (fed whole, in two at a fuzzed point, and a byte at a time, where no
// field can be read at once), and an image that passes its check must end
// exactly at its last record.
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

static void ReadByteByByte(const uint8_t* data, size_t n, FirmwareImage* image)
{
    ImageParser parser;
    StartImageText(&parser, image);
    for (size_t i = 0; i < n && ReadImageText(&parser, image, data + i, 1); ++i)
        ;
    FinishImageText(&parser, image);
}

static bool Same(const FirmwareImage* a, const FirmwareImage* b)
{
    return a->count == b->count && memcmp(a->bytes, b->bytes, a->count) == 0;
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
    if (!Same(&g_cut, &g_whole))
        abort();
    ReadByteByByte(data, n, &g_cut);
    if (!Same(&g_cut, &g_whole))
        abort();

    WriteFile("image.kit", std::string((const char*)data, n));
    FirmwareImage* loaded = &g_cut;
    if (LoadImage("image.kit", loaded) == IMAGE_READ && ValidateImage(loaded) && !EndsAtLastRecord(loaded))
        abort();
    return 0;
}
