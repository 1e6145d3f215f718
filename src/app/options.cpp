#include "app/options.h"

#include "common/ascii.h"

#include <string.h>

enum {
    OPT_HELP, OPT_VERSION, OPT_LIST, OPT_UNITS, OPT_CHECK, OPT_NO_PAUSE,
    OPT_VERBOSE, OPT_PORT, OPT_IMAGE, OPT_ALL, OPT_REPORT
};

static const struct {
    const char* longName;
    char shortName;
    bool takesValue;
} OPTIONS[] = {
    {"help", 'h', false},    {"version", 'V', false},  {"list", 'l', false},    {"units", 'u', false},
    {"check", 'c', false},   {"no-pause", 'n', false}, {"verbose", 'v', false}, {"port", 'p', true},
    {"image", 'i', true},    {"all", 'a', false},      {"report", 'r', true},
};

#define OPTION_COUNT (int)(sizeof OPTIONS / sizeof OPTIONS[0])

struct Parse {
    RunOptions* options;
    bool given[OPTION_COUNT];
    const char* program;
};

const char* ProgramName(const char* argv0)
{
    return BaseName(argv0 != NULL && *argv0 != '\0' ? argv0 : "update");
}

static bool Refuse(const Parse* parse, const char* what, const char* arg)
{
    fprintf(stderr, "%s: %s '%s'\nUsage: %s [OPTION]... [FILE]\nTry '%s --help' for more.\n", parse->program, what,
            arg, parse->program, parse->program);
    return false;
}

// A port or an image is given once; an empty port would match every one.
static bool Take(Parse* parse, int option, const char* value)
{
    bool again = parse->given[option];
    parse->given[option] = true;
    if (option == OPT_PORT && (again || *value == '\0'))
        return Refuse(parse, again ? "a second port" : "an empty port name", value);
    if (option == OPT_IMAGE && again)
        return Refuse(parse, "a second image file", value);
    if (option == OPT_REPORT && (again || *value == '\0'))
        return Refuse(parse, again ? "a second report" : "an empty report name", value);
    if (option == OPT_REPORT)
        parse->options->report = value;
    if (option == OPT_PORT)
        parse->options->port = value;
    if (option == OPT_IMAGE)
        parse->options->image = value;
    return true;
}

// --name, --name=value or --name value; *i moves past what it used.
static bool TakeLong(Parse* parse, int argc, char** argv, int* i)
{
    const char* arg = argv[*i] + 2;
    const char* equals = strchr(arg, '=');
    size_t length = equals != NULL ? (size_t)(equals - arg) : strlen(arg);
    for (int o = 0; o < OPTION_COUNT; ++o) {
        if (strlen(OPTIONS[o].longName) != length || strncmp(OPTIONS[o].longName, arg, length) != 0)
            continue;
        if (!OPTIONS[o].takesValue)
            return equals == NULL ? Take(parse, o, NULL) : Refuse(parse, "no value is taken by", argv[*i]);
        if (equals != NULL)
            return Take(parse, o, equals + 1);
        if (*i + 1 >= argc)
            return Refuse(parse, "a value is missing after", argv[*i]);
        return Take(parse, o, argv[++*i]);
    }
    return Refuse(parse, "unknown option", argv[*i]);
}

// -x, several at once (-ln), or -p PORT and -pPORT.
static bool TakeShort(Parse* parse, int argc, char** argv, int* i)
{
    for (const char* c = argv[*i] + 1; *c != '\0'; ++c) {
        int o = 0;
        while (o < OPTION_COUNT && OPTIONS[o].shortName != *c)
            ++o;
        if (o == OPTION_COUNT)
            return Refuse(parse, "unknown option in", argv[*i]);
        if (!OPTIONS[o].takesValue) {
            Take(parse, o, NULL);
            continue;
        }
        if (c[1] != '\0')
            return Take(parse, o, c + 1);
        if (*i + 1 >= argc)
            return Refuse(parse, "a value is missing after", argv[*i]);
        return Take(parse, o, argv[++*i]);
    }
    return true;
}

static bool TakeArgument(Parse* parse, int argc, char** argv, int* i, bool* operands)
{
    const char* arg = argv[*i];
    if (*operands || arg[0] != '-' || arg[1] == '\0') {
        if (strcmp(arg, "/?") == 0 && !*operands)
            return Take(parse, OPT_HELP, NULL);
        return Take(parse, OPT_IMAGE, arg);
    }
    if (strcmp(arg, "--") == 0)
        return (*operands = true);
    return arg[1] == '-' ? TakeLong(parse, argc, argv, i) : TakeShort(parse, argc, argv, i);
}

Action ParseOptions(int argc, char** argv, RunOptions* options)
{
    Parse parse;
    memset(&parse, 0, sizeof parse);
    parse.options = options;
    parse.program = ProgramName(argc > 0 ? argv[0] : NULL);
    memset(options, 0, sizeof *options);
    bool operands = false;
    for (int i = 1; i < argc; ++i)
        if (!TakeArgument(&parse, argc, argv, &i, &operands))
            return ACTION_USAGE;
    options->pause = !parse.given[OPT_NO_PAUSE];
    options->verbose = parse.given[OPT_VERBOSE];
    if (parse.given[OPT_HELP])
        return ACTION_HELP;
    if (parse.given[OPT_VERSION])
        return ACTION_VERSION;
    if (parse.given[OPT_LIST])
        return ACTION_LIST;
    if (parse.given[OPT_UNITS])
        return ACTION_UNITS;
    if (parse.given[OPT_ALL] && parse.given[OPT_PORT] && !parse.given[OPT_CHECK]) {
        Refuse(&parse, "--all updates every unit, so it takes no port", options->port);
        return ACTION_USAGE;
    }
    if (parse.given[OPT_ALL] && !parse.given[OPT_CHECK])
        return ACTION_ALL;
    return parse.given[OPT_CHECK] ? ACTION_CHECK : ACTION_UPDATE;
}

void PrintHelp(const char* program)
{
    printf("Usage: %s [OPTION]... [FILE]\n"
           "Installs the firmware image FILE into the USB MIDI device. Without FILE it\n"
           "takes the first *.kit file of the current directory, whose name, as FILE's,\n"
           "must begin with Quellam.\n"
           "\n"
           "  -i, --image FILE  the image file (also given as FILE)\n"
           "  -p, --port PORT   the MIDI input and output that PORT names: input PORT\n"
           "                    if it is a number, as --list numbers the inputs; the\n"
           "                    unit of a lasting name --list shows (usb:..., serial:...);\n"
           "                    the port whose id --list shows as PORT; else the ports\n"
           "                    named PORT, or whose names hold it\n"
           "  -l, --list        list the MIDI ports and what the update does with each,\n"
           "                    and exit\n"
           "  -u, --units       for scripts: list each device the update counts, a line\n"
           "                    each, the word --port takes to choose it, a tab and its\n"
           "                    name, and exit\n"
           "  -a, --all         update every unit --units lists at once, a run each, with\n"
           "                    one display, and sum up how each ended\n"
           "  -r, --report FILE append a line of JSON to FILE for each unit updated: its\n"
           "                    port, name, image, SHA-256, ending, status and seconds\n"
           "  -c, --check       check the image, say which record is wrong, and exit\n"
           "  -n, --no-pause    do not wait for a key at the end\n"
           "  -v, --verbose     trace every message to and from the device on standard\n"
           "                    error, with its time in milliseconds\n"
           "  -h, --help        show this help and exit\n"
           "  -V, --version     show the version and exit\n"
           "\n"
           "Exit status: 0 the target holds the whole image (or help, version, list, a\n"
           "check passed); 1 no image, or a refused one; 2 a wrong command line; 3 no\n"
           "usable MIDI device or port; 4 the target did not answer or does not match;\n"
           "5 the transfer failed: the target may hold part of the image, run again.\n"
           "With --all, the worst of the units'.\n",
           program);
}
