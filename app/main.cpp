#include "app/console.h"
#include "app/platform.h"
#include "app/run.h"

int main(int argc, char** argv) {
    qzb::Console console = qzb::standardConsole();
    return qzb::run(qzb::platform::arguments(argc, argv), console);
}
