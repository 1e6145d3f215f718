// Finding the image file, and the endings of the image stage.
#include "app/run.h"
#include "harness.h"
#include "image/image.h"
#include "platform.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The program's reads of the image go through here (the test is linked with
// --wrap=fread). Once the reads allowed have been made, the file's
// descriptor is replaced by a directory's, so that the next read fails for
// real (EISDIR) in the C library.
static int g_readsAllowed = -1;

extern "C" size_t __real_fread(void* data, size_t size, size_t n, FILE* file);

extern "C" size_t __wrap_fread(void* data, size_t size, size_t n, FILE* file)
{
    if (g_readsAllowed == 0) {
        int dir = open(".", O_RDONLY | O_DIRECTORY);
        dup2(dir, fileno(file));
        close(dir);
    }
    if (g_readsAllowed >= 0)
        --g_readsAllowed;
    return __real_fread(data, size, n, file);
}

namespace {

const char* const GOOD = "00 04 11 22 CD FF\n";

struct Found {
    bool ok;
    std::string name;
    uint8_t code;
    std::string out;
};

Found Find()
{
    Found found{false, "", 0xEE, ""};
    char name[PATH_BUFFER_SIZE] = "";
    found.out = Capture([&] { found.ok = FindImageFile(name, sizeof name, &found.code); });
    found.name = name;
    return found;
}

TEST(FindImageFile, MatchesPrefixAndExtensionInAnyCase)
{
    ScratchDir dir;
    WriteFile("readme.txt", "");
    WriteFile("Quellam.kit.txt", GOOD);
    WriteFile("Quellam.ki", GOOD);
    Found found = Find();
    EXPECT_FALSE(found.ok);
    EXPECT_EQ(found.out, "Error: File '*.kit' is not found.\n\n");

    WriteFile("quellam_v12.KIT", GOOD);
    found = Find();
    EXPECT_TRUE(found.ok);
    EXPECT_EQ(found.name, "quellam_v12.KIT");
    EXPECT_EQ(found.code, 0x34);
    EXPECT_EQ(found.out, "");
}

// Only the first match counts, in the order a case-insensitive file system
// lists names; its name must begin with the whole prefix.
TEST(FindImageFile, TakesOnlyTheFirstMatchInFoldedOrder)
{
    ScratchDir dir;
    WriteFile("Quellam.kit", GOOD);
    WriteFile("other.kit", GOOD);
    Found found = Find();
    EXPECT_FALSE(found.ok);
    EXPECT_EQ(found.name, "other.kit");
    EXPECT_EQ(found.code, 0);
    EXPECT_EQ(found.out, "Error: The fit file is not found.\n\n");

    WriteFile("A.kit", GOOD);  // 'A' comes before 'o' only when case is folded
    EXPECT_EQ(Find().name, "A.kit");
    WriteFile("Quell.kit", GOOD);  // listed before Quellam.kit, and only part of the prefix
    EXPECT_EQ(Find().name, "A.kit");
    unlink("A.kit");
    EXPECT_EQ(Find().out, "Error: The fit file is not found.\n\n");
}

// The whole program, started with no argument.
std::string RunToEnd()
{
    char program[] = "update";
    char* argv[] = {program, nullptr};
    return Capture([&argv] { RunCommandLine(1, argv); });
}

TEST(ImageStage, ADirectoryThatMatchesIsFoundAndThenCannotBeRead)
{
    ScratchDir dir;
    mkdir("Quellam.kit", 0700);
    WriteFile("Quellam_z.kit", GOOD);
    EXPECT_EQ(RunToEnd(), std::string(BANNER) + "Error: File 'Quellam.kit' is not found.\n\n" + PROMPT);
}

TEST(ImageStage, NamesArePrintedAsTheyAreNeverAsFormats)
{
    ScratchDir dir;
    WriteFile("Quellam %s%n%d.kit", "00 04 11 22 CD FE");
    EXPECT_EQ(RunToEnd(), std::string(BANNER) + "OK: File 'Quellam %s%n%d.kit' is open.\n" + MSG_BAD_IMAGE + PROMPT);
}

TEST(ImageStage, LongNamesFitThePathBuffer)
{
    ScratchDir dir;
    std::string name = "Quellam" + std::string(NAME_MAX - 11, 'x') + ".kit";
    WriteFile(name, "");
    EXPECT_EQ(Find().name, name);
}

TEST(ImageStage, TooManyFieldsAreRefusedAfterTheFileIsOpen)
{
    ScratchDir dir;
    WriteFile("Quellam.kit", std::string(2 * 65536, '0'));
    EXPECT_EQ(RunToEnd(), std::string(BANNER) + "OK: File 'Quellam.kit' is open.\n" + MSG_BAD_IMAGE + PROMPT);
}

// The first 64 KiB of text are one whole record, so a load cut there after a
// failed read would check.
TEST(ImageStage, AReadErrorAfterTheFirstBlockRefusesTheImage)
{
    ScratchDir dir;
    std::string text = KitText({Record(sim::Bytes(21841, 0x5A)), Record({1})});
    ASSERT_EQ(text.find('\n'), 65535u);
    WriteFile("Quellam.kit", text);
    g_readsAllowed = 1;
    std::string out = RunToEnd();
    g_readsAllowed = -1;
    EXPECT_EQ(out, std::string(BANNER) + "OK: File 'Quellam.kit' is open.\n" + MSG_BAD_IMAGE + PROMPT);
}

TEST(ImageStage, EndsBeforeAnyPortWhenTheImageIsMissingOrBad)
{
    sim::Start(sim::Setup{});
    {
        ScratchDir dir;
        EXPECT_EQ(RunToEnd(), std::string(BANNER) + "Error: File '*.kit' is not found.\n\n" + PROMPT);
        WriteFile("Quellam.kit", "00 04 11 22 CD FE");
        EXPECT_EQ(RunToEnd(), std::string(BANNER) + "OK: File 'Quellam.kit' is open.\n" + MSG_BAD_IMAGE + PROMPT);
    }
    sim::Stop();
    EXPECT_TRUE(sim::Calls().empty());
}

}  // namespace
