#include "app/console.h"
#include "app/run.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    qzb::platform::prepareProcess();
    qzb::Console console = qzb::standardConsole();
    return qzb::run(qzb::platform::arguments(argc, argv), console);
}
