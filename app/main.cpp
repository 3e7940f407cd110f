#include "app/console.h"
#include "platform/platform.h"
#include "app/run.h"

int main(int argc, char** argv) {
    qzb::Console console = qzb::standardConsole();
    return qzb::run(qzb::platform::arguments(argc, argv), console);
}
