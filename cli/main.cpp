#include "app/console.h"
#include "cli/cli.h"
#include "platform/console.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    qzb::platform::prepareProcess();
    // Opens the null device on closed standard descriptors before anything opens a file.
    qzb::Console console = qzb::standardConsole();
    const bool outputLost = !console.outputWritten();
    return qzb::cli::runQzb(qzb::platform::arguments(argc, argv),
                            {stdout, stderr, qzb::platform::isTerminal(stdout),
                             qzb::platform::isTerminal(stderr), outputLost});
}
