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

// With a byte order mark, as a Windows editor saves it, which is no part
// of the text.
const char* const GOOD = "\xEF\xBB\xBF" "00 04 11 22 CD FF\n";
const std::string HOLDS = "The image holds 1 record, 6 bytes; every checksum holds.\n";

// The whole program, started with these arguments after its name.
std::string RunToEnd(std::vector<const char*> args = {})
{
    args.insert(args.begin(), "update");
    return Capture([&args] { RunCommandLine((int)args.size(), const_cast<char**>(args.data())); });
}

// Only the first *.kit entry counts, in the order a case-insensitive file
// system lists names, and its name must begin with the whole prefix; a
// file the user names, wherever it is, must be named so too, and is told
// why not.
TEST(ImageStage, TakesTheFirstKitFileAndOnlyAnImagesName)
{
    const struct {
        std::vector<std::string> files;
        std::vector<const char*> args;
        std::string out;
    } cases[] = {
        {{"readme.txt", "Quellam.kit.txt", "Quellam.ki"}, {"-c"}, "Error: File '*.kit' is not found.\n\n"},
        {{"Quellam.ki", "quellam_v12.KIT"}, {"-c"}, "OK: File 'quellam_v12.KIT' is open.\n" + HOLDS},
        {{"Quellam.kit", "other.kit"}, {"-c"}, "Error: The fit file is not found.\n\n"},
        // NTFS lists names folded to upper case: 'Q' before '_', 'a' before 'Q'
        {{"quellam.kit", "_old.kit"}, {"-c"}, "OK: File 'quellam.kit' is open.\n" + HOLDS},
        {{"Quellam.kit", "a.kit"}, {"-c"}, "Error: The fit file is not found.\n\n"},
        {{"Quellam.kit", "Quell.kit"}, {"-c"}, "Error: The fit file is not found.\n\n"},
        {{"sub/", "sub/quellam-new.kit"}, {"-c", "sub/quellam-new.kit"},
         "OK: File 'sub/quellam-new.kit' is open.\n" + HOLDS},
        {{"sub/", "sub/quellam-new.kit"}, {"--check", "--image=sub/quellam-new.kit"},
         "OK: File 'sub/quellam-new.kit' is open.\n" + HOLDS},
        {{"Quellam.kit", "firmware.kit"}, {"-c", "firmware.kit"},
         "Error: 'firmware.kit' is not an image's name: it must begin with \"Quellam\", which names the device it "
         "is for.\n\n"},
        {{"Quellam.kit"}, {"-c", "/tmp/\x1b]0;x.kit"},
         "Error: '?]0;x.kit' is not an image's name: it must begin with \"Quellam\", which names the device it is "
         "for.\n\n"},
        {{"Quellam" + std::string(NAME_MAX - 11, 'x') + ".kit"}, {"-c"},
         "OK: File 'Quellam" + std::string(NAME_MAX - 11, 'x') + ".kit' is open.\n" + HOLDS},
        {{"Quellam.kit/", "Quellam_z.kit"}, {"-c"}, "Error: File 'Quellam.kit' is not found.\n\n"},
        // A name is printed as it is, never as a format, and its control
        // characters as '?', so that it cannot forge a line or drive the
        // terminal.
        {{"Quellam %s%n%d\nTarget update successfully!\x1b]0;x\x07\xC2\x9B\xC3\xA9.kit"}, {"-c"},
         "OK: File 'Quellam %s%n%d?Target update successfully!?]0;x??\xC3\xA9.kit' is open.\n" + HOLDS},
    };
    for (const auto& c : cases) {
        ScratchDir dir;
        for (const std::string& name : c.files)
            if (name.back() == '/')
                mkdir(name.c_str(), 0700);
            else
                WriteFile(name, GOOD);
        EXPECT_EQ(RunToEnd(c.args), BANNER + c.out) << c.files[0];
    }
}

// Only a regular file is an image: a FIFO without a writer or a link to a
// device that never ends is refused at once as a file that cannot be
// opened (the alarm fails the test instead of letting a wait hang it). A
// file longer than any image's text is refused once that much is read, as
// is one whose checksum fails. No port is touched.
TEST(ImageStage, OnlyARegularFileOfReasonableSizeIsAnImage)
{
    ScratchDir dir;
    sim::Start(sim::Setup{});
    const std::string notFound = std::string(BANNER) + "Error: File 'Quellam.kit' is not found.\n\n" + PROMPT;
    const std::string refused = std::string(BANNER) + "OK: File 'Quellam.kit' is open.\n" + MSG_BAD_IMAGE + PROMPT;
    alarm(60);
    ASSERT_EQ(mkfifo("Quellam.kit", 0600), 0);
    EXPECT_EQ(RunToEnd(), notFound);
    unlink("Quellam.kit");
    ASSERT_EQ(symlink("/dev/zero", "Quellam.kit"), 0);
    EXPECT_EQ(RunToEnd(), notFound);
    unlink("Quellam.kit");
    WriteFile("Quellam.kit", "00 04 11 22 CD FF" + std::string(IMAGE_TEXT_CAP, ' '));
    EXPECT_EQ(RunToEnd(), refused);
    WriteFile("Quellam.kit", "00 04 11 22 CD FE");
    EXPECT_EQ(RunToEnd(), refused);
    alarm(0);
    sim::Stop();
    EXPECT_TRUE(sim::Calls().empty());
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

}  // namespace
