// Reading the image text and checking its records.
#include "harness.h"
#include "image/image.h"

#include <gtest/gtest.h>

namespace {

FirmwareImage g_image;

sim::Bytes Loaded(const FirmwareImage& image)
{
    return sim::Bytes(image.bytes, image.bytes + image.count);
}

// Reads text in blocks of the given size, so that every field may be cut
// at any point.
sim::Bytes Read(const std::string& text, size_t block = 65536)
{
    ImageParser parser;
    StartImageText(&parser, &g_image);
    for (size_t i = 0; i < text.size(); i += block)
        if (!ReadImageText(&parser, &g_image, (const uint8_t*)text.data() + i, std::min(block, text.size() - i)))
            break;
    EXPECT_TRUE(FinishImageText(&parser, &g_image));
    return Loaded(g_image);
}

bool Valid(const sim::Bytes& bytes)
{
    std::copy(bytes.begin(), bytes.end(), g_image.bytes);
    g_image.count = (uint16_t)bytes.size();
    return ValidateImage(&g_image);
}

struct TextCase {
    const char* text;
    sim::Bytes bytes;
};

const TextCase TEXT_CASES[] = {
    // separators: any run of 09-0D and blanks
    {"0a 1B\nff", {0x0A, 0x1B, 0xFF}},
    {" \t\r\n\v\f12\r\n", {0x12}},
    // run together, and lone digits before white space
    {"A0B1", {0xA0, 0xB1}},
    {"ABC", {0xAB, 0x0C}},
    {"A B", {0x0A, 0x0B}},
    {"7 8", {0x07, 0x08}},
    {"0", {0x00}},
    // signs count as one of the two characters
    {"-5", {0xFB}},
    {"-AB", {0xF6, 0x0B}},
    {"+7F", {0x07, 0x0F}},
    {"-05", {0x00, 0x05}},
    // "0x" does not count
    {"0x12", {0x12}},
    {"0XaB0x1", {0xAB, 0x01}},
    {"-0x5", {0xFB}},
    {"+0xAB", {0x0A, 0x0B}},
    {"0x0x5", {0x00}},
    {"00x5", {0x00}},
    // reading ends, keeping what came before
    {"12 34 zz 56", {0x12, 0x34}},
    {"12:34", {0x12}},
    {"12\x1A" "34", {0x12}},
    {"12\x80" "34", {0x12}},
    {"12\xFF" "34", {0x12}},
    {"12 - 34", {0x12}},
    {"12 -", {0x12}},
    {"12 0x 34", {0x12}},
    {"12 0xg", {0x12}},
    {"12 0x", {0x12}},
    {"", {}},
    {" \n\t ", {}},
    {"; 12", {}},
};

TEST(ImageText, FieldsFollowTheEncodingRulesWhereverTheTextIsCut)
{
    for (const TextCase& c : TEXT_CASES) {
        EXPECT_EQ(Read(c.text), c.bytes) << "text: " << c.text;
        for (size_t block = 1; block <= 3; ++block)
            EXPECT_EQ(Read(c.text, block), c.bytes) << "text: " << c.text << ", blocks of " << block;
    }
}

TEST(ImageText, HoldsAtMost65535FieldsAndNeverWraps)
{
    std::string text(2 * 65535, '1');
    EXPECT_EQ(Read(text).size(), 65535u);

    ImageParser parser;
    text += "22";
    StartImageText(&parser, &g_image);
    ReadImageText(&parser, &g_image, (const uint8_t*)text.data(), text.size());
    EXPECT_FALSE(FinishImageText(&parser, &g_image));
    EXPECT_EQ(g_image.count, 65535);
    EXPECT_EQ(g_image.bytes[0], 0x11);

    // A lone digit at the very end is the 65,536th field too.
    StartImageText(&parser, &g_image);
    text.back() = ' ';
    ReadImageText(&parser, &g_image, (const uint8_t*)text.data(), text.size());
    EXPECT_FALSE(FinishImageText(&parser, &g_image));
}

// The records all hold, and there is at least one: an image without a
// record would update nothing. Any changed byte, a record that runs past
// the last byte, or a length field below 2 or whose size wraps refuses the
// whole image.
TEST(ValidateImage, AcceptsOnlyRecordsThatFitAndBalance)
{
    const sim::Bytes good{0x00, 0x04, 0x11, 0x22, 0xCD, 0xFF};
    sim::Bytes wrapping(65535, 0x00);  // a length of FFFF, then FFFE
    wrapping[0] = wrapping[1] = 0xFF;
    const std::pair<sim::Bytes, bool> cases[] = {
        {good, true},
        {{0x00, 0x02, 0x00, 0x00}, true},
        {Concat({Record({1, 2, 3}), Record(sim::Bytes(300, 0xEE)), Record({})}), true},
        {Record(sim::Bytes(65531, 0xFF)), true},  // the largest image there is
        {{}, false},
        {{0x00, 0x02, 0x01, 0x00}, false},
        {Concat({Record({1, 2, 3}), {0x00, 0x03, 0x05, 0xFA, 0xFF}}), false},
        {{0x00}, false},
        {{0x00, 0x00}, false},
        {{0x00, 0x01, 0x00}, false},
        {{0x00, 0x00, 0x00, 0x00}, false},  // would sum to 0
        {{0x00, 0x04, 0x11, 0x22, 0xCD}, false},
        {Concat({Record({1}), {0x00, 0x09, 0x00, 0x00}}), false},
        {wrapping, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Valid(c.first), c.second) << c.first.size() << " bytes";
    wrapping[1] = 0xFE;
    EXPECT_FALSE(Valid(wrapping));
    for (size_t i = 2; i < good.size(); ++i) {
        sim::Bytes bad = good;
        bad[i] ^= 0x01;
        EXPECT_FALSE(Valid(bad)) << "byte " << i;
    }
}

}  // namespace
