// update: installs a firmware image into the target; update --help tells
// how.
#include "app/run.h"
#include "platform.h"

int main(int argc, char** argv)
{
    PrepareConsole();
    CatchInterruptions();
    return RunCommandLine(argc, argv);
}
