// Finding the image file, and the endings of the image stage.
#include "app/run.h"
#include "harness.h"
#include "image/image.h"
#include "platform.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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

    unlink("other.kit");
    WriteFile("_old.kit", GOOD);  // NTFS lists names folded to upper case: 'Q' before '_'
    EXPECT_EQ(Find().name, "Quellam.kit");
    unlink("_old.kit");
    WriteFile("other.kit", GOOD);
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

// A name is printed as it is, never as a format, and its control
// characters as '?', so that it cannot forge a line or drive the terminal.
TEST(ImageStage, NamesArePrintedAsTheyAreNeverAsFormats)
{
    ScratchDir dir;
    WriteFile("Quellam %s%n%d\nTarget update successfully!\x1b]0;x\x07\xC2\x9B\xC3\xA9.kit", "00 04 11 22 CD FE");
    EXPECT_EQ(RunToEnd(), std::string(BANNER) + "OK: File 'Quellam %s%n%d?Target update successfully!?]0;x??\xC3\xA9.kit' is open.\n" +
                              MSG_BAD_IMAGE + PROMPT);
}

// Only a regular file is an image: a FIFO without a writer, a socket, or a
// link to a device that never ends is refused at once as a file that cannot
// be opened (the alarm fails the test instead of letting a wait hang it).
// A file longer than any image's text is refused once that much is read.
TEST(ImageStage, OnlyARegularFileOfReasonableSizeIsAnImage)
{
    ScratchDir dir;
    const std::string notFound = std::string(BANNER) + "Error: File 'Quellam.kit' is not found.\n\n" + PROMPT;
    alarm(60);
    ASSERT_EQ(mkfifo("Quellam.kit", 0600), 0);
    EXPECT_EQ(RunToEnd(), notFound);
    unlink("Quellam.kit");
    int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strcpy(address.sun_path, "Quellam.kit");
    ASSERT_EQ(bind(sock, (struct sockaddr*)&address, sizeof address), 0);
    EXPECT_EQ(RunToEnd(), notFound);
    close(sock);
    unlink("Quellam.kit");
    ASSERT_EQ(symlink("/dev/zero", "Quellam.kit"), 0);
    EXPECT_EQ(RunToEnd(), notFound);
    unlink("Quellam.kit");
    WriteFile("Quellam.kit", "00 04 11 22 CD FF" + std::string(IMAGE_TEXT_CAP, ' '));
    EXPECT_EQ(RunToEnd(), std::string(BANNER) + "OK: File 'Quellam.kit' is open.\n" + MSG_BAD_IMAGE + PROMPT);
    alarm(0);
}

// A file a Windows editor saved with a byte order mark is read past it; one
// that holds no record (empty, UTF-16, not text) updates nothing and is
// refused before any port opens.
TEST(ImageStage, AByteOrderMarkIsSkippedAndAnImageWithoutARecordRefused)
{
    ScratchDir dir;
    FirmwareImage image;
    WriteFile("Quellam.kit", std::string("\xEF\xBB\xBF") + GOOD);
    Capture([&] { EXPECT_TRUE(LoadImage("Quellam.kit", &image) && ValidateImage(&image)); });
    for (const std::string& text : {std::string(), std::string("\xFF\xFE" "0\0" "0\0", 6), std::string("\x7F" "ELF")}) {
        WriteFile("Quellam.kit", text);
        EXPECT_EQ(RunToEnd(), std::string(BANNER) + "OK: File 'Quellam.kit' is open.\n" + MSG_BAD_IMAGE + PROMPT);
    }
}

TEST(ImageStage, LongNamesFitThePathBuffer)
{
    ScratchDir dir;
    std::string name = "Quellam" + std::string(NAME_MAX - 11, 'x') + ".kit";
    WriteFile(name, "");
    EXPECT_EQ(Find().name, name);
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
